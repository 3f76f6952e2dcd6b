// Listing the accounts in name order, page by page. A resume handle names a slot that
// holds the key of the last account returned, so the next page starts after that key:
// accounts added or deleted between pages are never skipped nor repeated.
#include <array>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "platform/posix/faults.h"
#include "platform/posix/host.h"
#include "platform/posix/net_buffer.h"
#include "platform/posix/store.h"

namespace {

using namespace ostrel_posix;

// Slots of enumerations in progress (store lock held). A handle is never reused while its
// number has not wrapped; when every slot is taken the least recently used one is given up.
constexpr std::size_t kResumeSlots = 64;

struct ResumeSlot {
  DWORD handle = 0;  // 0: free
  std::string last_key;
  std::uint64_t used = 0;
};

std::array<ResumeSlot, kResumeSlots> slots;
DWORD last_handle = 0;
std::uint64_t use_clock = 0;

ResumeSlot* find_slot(DWORD handle) {
  for (ResumeSlot& slot : slots)
    if (slot.handle == handle) return &slot;
  return nullptr;
}

ResumeSlot& take_slot() {
  ResumeSlot* chosen = &slots[0];
  for (ResumeSlot& slot : slots) {
    if (slot.handle == 0) {
      chosen = &slot;
      break;
    }
    if (slot.used < chosen->used) chosen = &slot;
  }
  do {
    ++last_handle;
  } while (last_handle == 0 || find_slot(last_handle) != nullptr);
  chosen->handle = last_handle;
  return *chosen;
}

}  // namespace

NET_API_STATUS NetUserEnum(LPCWSTR server, DWORD level, DWORD filter, LPBYTE* buffer,
                           DWORD preferred_length, LPDWORD entries_read, LPDWORD total_entries,
                           PDWORD resume_handle) {
  if (buffer != nullptr) *buffer = nullptr;
  if (entries_read != nullptr) *entries_read = 0;
  if (total_entries != nullptr) *total_entries = 0;
  Fault fault;
  if (take_fault("NetUserEnum", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (filter != 0 && filter != FILTER_NORMAL_ACCOUNT) return ERROR_INVALID_PARAMETER;
  if (buffer == nullptr || entries_read == nullptr || total_entries == nullptr)
    return ERROR_INVALID_PARAMETER;

  auto lock = lock_store();
  if (const DWORD rc = open_store(); rc != 0) return rc;
  ResumeSlot* slot = nullptr;
  if (resume_handle != nullptr && *resume_handle != 0) {
    slot = find_slot(*resume_handle);
    if (slot == nullptr) return ERROR_INVALID_PARAMETER;  // unknown, finished or given up
  }

  UserRecords records;
  if (preferred_length != MAX_PREFERRED_LENGTH && preferred_length <= 65536) {
    records.entries.reserve(preferred_length / sizeof(USER_INFO_1) + 1);
    records.pool.reserve(preferred_length / sizeof(WCHAR) + 1024);
  }
  const std::string after = slot != nullptr ? slot->last_key : std::string();
  std::string last_key = after;
  bool more = false;
  bool counted = false;
  DWORD total = 0;
  {
    Statement page(kEnumPage);
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

  if (!records.entries.empty()) {
    *buffer = pack_user_records(records);
    if (*buffer == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  }
  *entries_read = static_cast<DWORD>(records.entries.size());
  *total_entries = total;
  if (more) {
    if (resume_handle != nullptr) {
      if (slot == nullptr) slot = &take_slot();
      slot->last_key = last_key;
      slot->used = ++use_clock;
      *resume_handle = slot->handle;
    }
    return ERROR_MORE_DATA;
  }
  if (slot != nullptr) *slot = ResumeSlot{};
  if (resume_handle != nullptr) *resume_handle = 0;
  return NERR_Success;
}
