// Listing the host's accounts in name order, page by page. A resume handle names a slot
// that holds the last name returned, so the next page starts after it: accounts added or
// deleted between pages are never skipped nor repeated. The files are read and sorted
// once per listing: the pages after the first use that snapshot for as long as the files
// are the ones it was read from (same identity, size and times).
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/resume_slots.h"
#include "platform/posix/system/system_entries.h"
#include "platform/posix/system/system_files.h"

namespace ostrel_posix {
namespace {

struct Snapshot {
  SystemFiles files;
  std::vector<std::pair<std::string_view, int>> names;  // managed accounts, sorted
};

// Listings in progress and their snapshot, serialised by their own lock.
std::mutex slot_mutex;
ResumeSlots slots;
std::unique_ptr<Snapshot> snapshot;

bool same_file(const std::string& path, const AccountFile& file) {
  struct stat now {};
  if (::stat(path.c_str(), &now) != 0) return false;
  const struct stat& then = file.info;
  return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
         now.st_mtim.tv_sec == then.st_mtim.tv_sec && now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == then.st_ctim.tv_sec && now.st_ctim.tv_nsec == then.st_ctim.tv_nsec;
}

// True while the snapshot shows the files the settings name as they are now. The range
// is read again for a new listing only: one goes on with the range it began with.
bool still_current(const Snapshot& held, bool resumed) {
  const SystemOptions options = system_options();
  const SystemFiles& files = held.files;
  if (!resumed) {
    const UidRange range = managed_range(options);
    if (range.first != files.range.first || range.last != files.range.last) return false;
  }
  return options.password_file == files.options.password_file &&
         options.shadow_file == files.options.shadow_file &&
         options.shadow == files.options.shadow && options.shell == files.options.shell &&
         same_file(options.password_file, files.passwd) &&
         (!options.shadow || same_file(options.shadow_file, files.shadow));
}

DWORD take_snapshot() {
  auto fresh = std::make_unique<Snapshot>();
  if (const DWORD rc = fresh->files.open(false, false); rc != 0) return rc;
  fresh->files.index_shadow();
  const AccountFile& passwd = fresh->files.passwd;
  for (std::size_t i = 0; i < passwd.lines.size(); ++i) {
    const std::string& line = passwd.lines[i];
    if (managed_entry(line, fresh->files.range))
      fresh->names.emplace_back(entry_name(line), static_cast<int>(i));
  }
  std::sort(fresh->names.begin(), fresh->names.end());
  snapshot = std::move(fresh);
  return 0;
}

}  // namespace

DWORD system_enumerate(DWORD, DWORD preferred_length, DWORD* resume_handle, UserRecords& records,
                       DWORD& total) {
  std::lock_guard<std::mutex> lock(slot_mutex);
  ResumeSlot* slot = nullptr;
  if (resume_handle != nullptr && *resume_handle != 0) {
    slot = slots.find(*resume_handle);
    if (slot == nullptr) return ERROR_INVALID_PARAMETER;
  }
  if (snapshot == nullptr || !still_current(*snapshot, slot != nullptr))
    if (const DWORD rc = take_snapshot(); rc != 0) return rc;
  const SystemFiles& files = snapshot->files;
  const auto& names = snapshot->names;
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
  // A finished listing lets its snapshot go: the next one reads the files afresh.
  snapshot.reset();
  return NERR_Success;
}

}  // namespace ostrel_posix
