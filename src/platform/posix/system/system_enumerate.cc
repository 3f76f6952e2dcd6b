// Listing the host's accounts in name order, page by page. A resume handle names a slot
// that holds the last name returned, so the next page starts after it: accounts added or
// deleted between pages are never skipped nor repeated.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/backend.h"
#include "platform/posix/resume_slots.h"
#include "platform/posix/system/system_entries.h"
#include "platform/posix/system/system_files.h"

namespace ostrel_posix {
namespace {

// Listings in progress, serialised by their own lock.
std::mutex slot_mutex;
ResumeSlots slots;

}  // namespace

DWORD system_enumerate(DWORD, DWORD preferred_length, DWORD* resume_handle, UserRecords& records,
                       DWORD& total) {
  std::lock_guard<std::mutex> lock(slot_mutex);
  ResumeSlot* slot = nullptr;
  if (resume_handle != nullptr && *resume_handle != 0) {
    slot = slots.find(*resume_handle);
    if (slot == nullptr) return ERROR_INVALID_PARAMETER;
  }
  SystemFiles files;
  if (const DWORD rc = files.open(false, false); rc != 0) return rc;

  std::vector<std::pair<std::string_view, int>> names;
  for (std::size_t i = 0; i < files.passwd.lines.size(); ++i) {
    const std::string& line = files.passwd.lines[i];
    if (is_entry(line)) names.emplace_back(entry_name(line), static_cast<int>(i));
  }
  std::sort(names.begin(), names.end());
  total = static_cast<DWORD>(names.size());

  const std::string after = slot != nullptr ? slot->last_key : std::string();
  auto it = slot != nullptr ? std::upper_bound(names.begin(), names.end(),
                                               std::make_pair(std::string_view(after), INT32_MAX))
                            : names.begin();
  std::string last = after;
  bool more = false;
  const std::string tally_directory = counting_tally_directory(files.options);
  for (; it != names.end(); ++it) {
    // An account whose texts are not UTF-8 cannot be handed out; the listing goes on.
    if (!add_system_record(files, it->second, tally_directory, records)) continue;
    if (preferred_length != MAX_PREFERRED_LENGTH && records.entries.size() > 1 &&
        records.bytes > preferred_length) {
      drop_last_user(records);
      more = true;
      break;
    }
    last.assign(it->first);
  }
  if (more) {
    if (resume_handle != nullptr) {
      *resume_handle = slots.keep(slot, last);
    }
    return ERROR_MORE_DATA;
  }
  ResumeSlots::release(slot);
  if (resume_handle != nullptr) *resume_handle = 0;
  return NERR_Success;
}

}  // namespace ostrel_posix
