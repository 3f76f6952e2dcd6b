#include "platform/posix/common/source_tally.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/posix/common/lockout.h"
#include "platform/posix/common/trusted_files.h"

namespace ostrel_posix {
namespace {

constexpr const char* kDefaultDirectory = "/var/lib/ostrel/lockout";
// A name longer than this is kept under a digest of it: a file name holds 255 bytes, and
// the recent wrong passwords' file adds its suffix.
constexpr std::size_t kMaxFileName = 200;

std::mutex directory_mutex;
std::string configured;

// The file the account's counts are kept in: its key, or a digest of a long one.
std::string file_name(const std::string& key) {
  if (key.size() <= kMaxFileName) return key;
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(key.data()),
                     key.size(), nullptr, 0);
  char hex[sizeof digest * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return std::string("~") + hex;
}

// Why the directory must not be used: another user could plant or swap files in it. Null
// when it may be, or when it is missing (it is made when a count is first kept).
const char* untrusted_directory_reason(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? nullptr : "cannot be examined";
  if (S_ISLNK(info.st_mode)) return "a symbolic link";
  if (!S_ISDIR(info.st_mode)) return "not a directory";
  if (info.st_uid != geteuid() && info.st_uid != 0) return "owned by another user";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by group or others";
  return nullptr;
}

// The directory when it may be used: 0 or ERROR_BAD_CONFIGURATION.
DWORD usable_directory(std::string& path) {
  path = source_tally_directory();
  if (path.empty() || path[0] != '/') return refuse_file(path, "not an absolute path");
  if (const char* reason = untrusted_directory_reason(path)) return refuse_file(path, reason);
  return 0;
}

}  // namespace

std::string source_tally_directory() {
  std::lock_guard<std::mutex> lock(directory_mutex);
  return configured.empty() ? kDefaultDirectory : configured;
}

DWORD SourceTally::open(const std::string& account_key, bool known) {
  policy_ = lockout_policy();
  counting_ = policy_.threshold != 0 && !logon_source().empty();
  if (!counting_) return 0;
  known_ = known && !account_key.empty();
  now_ = lockout_clock();
  std::string directory;
  if (const DWORD rc = usable_directory(directory); rc != 0) return rc;
  return file_.open(directory, known_ ? file_name(account_key) : std::string(), known_, geteuid(),
                    true);
}

bool SourceTally::throttled() const {
  return counting_ && file_.throttled(logon_source(), now_, policy_);
}

bool SourceTally::may_repeat() const {
  return counting_ && known_ && !file_.recent_wrong(now_, policy_).empty();
}

bool SourceTally::repeats_recent_wrong(const std::string& key) const {
  if (!counting_ || !known_ || key.empty()) return false;
  for (const RecentWrong& entry : file_.recent_wrong(now_, policy_))
    if (entry.key == key) return true;
  return false;
}

DWORD SourceTally::wrong_password(const std::string& key) {
  if (!counting_) return 0;
  bool stale = false;
  if (known_)
    if (const DWORD rc = file_.check_recent_wrong(key, now_, policy_, stale); rc != 0) return rc;
  if (!stale) return file_.add_failure(now_, policy_, logon_source());
  note_logon_refusal(LogonRefusal::kRepeatedPassword);
  return 0;
}

void SourceTally::right_password() {
  if (!counting_) return;
  (void)file_.clear_source(logon_source());
  bool stale = false;
  (void)file_.check_recent_wrong(std::string(), now_, policy_, stale);
}

DWORD clear_source_tallies(const std::string& account_key) {
  if (lockout_policy().threshold == 0) return 0;
  std::string directory;
  if (const DWORD rc = usable_directory(directory); rc != 0) return rc;
  const std::string name = file_name(account_key);
  struct stat info {};
  if (lstat((directory + "/" + name).c_str(), &info) != 0 && errno == ENOENT &&
      lstat((directory + "/" + name + ":recent").c_str(), &info) != 0 && errno == ENOENT)
    return 0;
  return clear_tally(directory, name, geteuid());
}

DWORD remove_source_tallies(const std::string& account_key) {
  if (lockout_policy().threshold == 0) return 0;
  std::string directory;
  if (const DWORD rc = usable_directory(directory); rc != 0) return rc;
  return remove_tally(directory, file_name(account_key));
}

}  // namespace ostrel_posix

void platform_set_lockout_tally_dir(const char* directory) {
  std::lock_guard<std::mutex> lock(ostrel_posix::directory_mutex);
  ostrel_posix::configured = directory != nullptr ? directory : "";
}
