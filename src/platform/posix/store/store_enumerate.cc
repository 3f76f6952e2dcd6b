// Listing the store's accounts in name order, page by page. A resume handle names a slot
// that holds the key of the last account returned, so the next page starts after that
// key: accounts added or deleted between pages are never skipped nor repeated.
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/common/resume_slots.h"
#include "platform/posix/store/store.h"

namespace ostrel_posix {
namespace {

// Listings in progress (store lock held).
ResumeSlots slots;

}  // namespace

DWORD store_enumerate(DWORD filter, DWORD preferred_length, DWORD* resume_handle,
                      UserRecords& records, DWORD& total) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kRead); rc != 0) return rc;
  ResumeSlot* slot = nullptr;
  if (resume_handle != nullptr && *resume_handle != 0) {
    slot = slots.find(*resume_handle);
    if (slot == nullptr) return ERROR_INVALID_PARAMETER;  // unknown, finished or given up
  }

  if (preferred_length != MAX_PREFERRED_LENGTH && preferred_length <= 65536) {
    records.entries.reserve(preferred_length / sizeof(USER_INFO_1) + 1);
    records.pool.reserve(preferred_length / sizeof(WCHAR) + 1024);
  }
  const std::string after = slot != nullptr ? slot->last_key : std::string();
  std::string last_key = after;
  bool more = false;
  bool counted = false;
  {
    const bool lock_state = lockout_policy().threshold != 0;
    Statement page(lock_state ? kEnumPageLocks : kEnumPage);
    bind_text(page.stmt, 1, after);
    sqlite3_bind_int64(page.stmt, 2, filter == FILTER_NORMAL_ACCOUNT ? UF_NORMAL_ACCOUNT : 0);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (;;) {
      const int rc = sqlite3_step(page.stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return store_error(rc);
      if (!counted) {
        total = static_cast<DWORD>(sqlite3_column_int64(page.stmt, 8));
        counted = true;
      }
      if (!add_user_row(page.stmt, 1, now, records)) return ERROR_FILE_CORRUPT;
      if (lock_state && store_row_locked(page.stmt, 9, now))
        records.entries.back().flags |= UF_LOCKOUT;
      // Every page holds at least one account, however small the preferred length.
      if (preferred_length != MAX_PREFERRED_LENGTH && records.entries.size() > 1 &&
          records.bytes > preferred_length) {
        drop_last_user(records);
        more = true;
        break;
      }
      last_key.assign(reinterpret_cast<const char*>(sqlite3_column_text(page.stmt, 0)),
                      static_cast<std::size_t>(sqlite3_column_bytes(page.stmt, 0)));
    }
  }
  if (!counted) {  // no account after the position: the total on its own
    Statement count(kAccountCount);
    const int rc = sqlite3_step(count.stmt);
    if (rc != SQLITE_ROW) return store_error(rc);
    total = static_cast<DWORD>(sqlite3_column_int64(count.stmt, 0));
  }

  if (more) {
    if (resume_handle != nullptr) {
      *resume_handle = slots.keep(slot, last_key);
    }
    return ERROR_MORE_DATA;
  }
  ResumeSlots::release(slot);
  if (resume_handle != nullptr) *resume_handle = 0;
  return NERR_Success;
}

}  // namespace ostrel_posix
