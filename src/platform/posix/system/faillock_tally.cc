#include "platform/posix/system/faillock_tally.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/posix/system/file_lock.h"

namespace ostrel_posix {
namespace {

constexpr const char* kDefaultDirectory = "/var/run/faillock";
constexpr const char* kSource = "ostrel";
constexpr std::size_t kSourceSize = 54;
// More records than any threshold needs; a longer file is read up to here.
constexpr std::size_t kMaxRecords = 1024;
// A logon waits this long for other processes' holds on the file (each check holds it for
// one hash, so logons of one account at once queue for a hash each), then gives up rather
// than hang: as long as a writer waits for the account files.
constexpr int kTallyWaitMs = kLockWaitMs;

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A directory the tallies may be kept in: ours or root's, and writable by nobody else,
// so that no other user can plant or swap a file in it.
bool trusted_directory(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != geteuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A tally file: regular, with no second name, owned by root, us or the account (the host
// hands each account its file), and writable by nobody else but root's group or ours (the
// host's tools make their files group-writable).
bool trusted_file(int fd, uid_t owner) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) return false;
  if (info.st_uid != 0 && info.st_uid != geteuid() && info.st_uid != owner) return false;
  if ((info.st_mode & S_IWOTH) != 0) return false;
  return (info.st_mode & S_IWGRP) == 0 || info.st_gid == 0 || info.st_gid == getegid();
}

int open_directory(const std::string& directory) {
  return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool lock_file(int fd, bool exclusive) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTallyWaitMs);
  while (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<TallyRecord> read_records(int fd) {
  std::vector<TallyRecord> records;
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size <= 0) return records;
  std::vector<char> raw(
      std::min(static_cast<std::size_t>(info.st_size), kMaxRecords * kTallyRecordSize));
  const ssize_t got = pread(fd, raw.data(), raw.size(), 0);
  // A part record at the end (a write cut short) is left out.
  for (ssize_t at = 0; at + static_cast<ssize_t>(kTallyRecordSize) <= got; at += kTallyRecordSize) {
    const char* record = raw.data() + at;
    TallyRecord r;
    r.source.assign(record, strnlen(record, kSourceSize));
    std::memcpy(&r.status, record + kSourceSize, sizeof r.status);
    std::memcpy(&r.time, record + kSourceSize + sizeof r.status, sizeof r.time);
    records.push_back(std::move(r));
  }
  return records;
}

// Writes records as the whole file: 0, ERROR_ACCESS_DENIED or ERROR_DISK_FULL.
DWORD write_records(int fd, const std::vector<TallyRecord>& records) {
  std::string raw(records.size() * kTallyRecordSize, '\0');
  for (std::size_t i = 0; i < records.size(); ++i) {
    char* at = raw.data() + i * kTallyRecordSize;
    std::memcpy(at, records[i].source.data(), std::min(records[i].source.size(), kSourceSize));
    std::memcpy(at + kSourceSize, &records[i].status, sizeof records[i].status);
    std::memcpy(at + kSourceSize + sizeof records[i].status, &records[i].time,
                sizeof records[i].time);
  }
  const ssize_t written = pwrite(fd, raw.data(), raw.size(), 0);
  if (written < 0) return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
  if (written != static_cast<ssize_t>(raw.size())) return ERROR_DISK_FULL;
  if (ftruncate(fd, static_cast<off_t>(raw.size())) != 0) return ERROR_ACCESS_DENIED;
  return 0;
}

std::size_t counting_in_window(const std::vector<TallyRecord>& records, std::int64_t& newest,
                               const LockoutPolicy& policy) {
  newest = 0;
  bool any = false;
  for (const TallyRecord& r : records) {
    if ((r.status & kTallyValid) != 0 && (!any || r.time > newest)) newest = r.time, any = true;
  }
  std::size_t count = 0;
  for (const TallyRecord& r : records)
    if ((r.status & kTallyValid) != 0 && newest - r.time < policy.window_s) ++count;
  return count;
}

}  // namespace

std::string tally_directory(const SystemOptions& options) {
  const std::string base = directory_of(options.password_file);
  const std::string conf = (base == "/" ? "" : base) + "/security/faillock.conf";
  std::string directory = kDefaultDirectory;
  // A file another user could have changed is not followed to a directory of theirs.
  std::FILE* in = open_trusted_file(conf.c_str(), "r", nullptr);
  if (in == nullptr) return directory;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, in) != nullptr) {
    std::string line = buffer;
    if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || trim(line.substr(0, equals)) != "dir") continue;
    const std::string value = trim(line.substr(equals + 1));
    if (!value.empty() && value[0] == '/') directory = value;
  }
  std::fclose(in);
  return directory;
}

bool tally_records_locked(const std::vector<TallyRecord>& records, std::int64_t now,
                          const LockoutPolicy& policy) {
  if (policy.threshold == 0) return false;
  std::int64_t newest = 0;
  if (counting_in_window(records, newest, policy) < policy.threshold) return false;
  return policy.duration_s == 0 || now < newest + policy.duration_s;
}

void add_tally_failure(std::vector<TallyRecord>& records, std::int64_t now,
                       const LockoutPolicy& policy) {
  // Only a lock that has run out starts the count again: a count at the threshold that
  // still locks is kept whole.
  std::int64_t newest = 0;
  const bool ran_out = policy.threshold != 0 &&
                       counting_in_window(records, newest, policy) >= policy.threshold &&
                       !tally_records_locked(records, now, policy);
  for (TallyRecord& r : records)
    if (ran_out || now - r.time >= policy.window_s) r.status &= ~kTallyValid;
  if (records.size() >= kMaxRecords) {
    std::erase_if(records, [](const TallyRecord& r) { return (r.status & kTallyValid) == 0; });
    if (records.size() >= kMaxRecords)
      records.erase(records.begin(), records.end() - static_cast<long>(kMaxRecords - 1));
  }
  records.push_back({kSource, kTallyValid, now});
}

TallyFile::~TallyFile() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the flock
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

DWORD TallyFile::open(const std::string& directory, const std::string& name, bool known,
                      uid_t owner, bool exclusive) {
  directory_ = directory;
  name_ = name;
  owner_ = owner;
  exclusive_ = exclusive;
  dir_fd_ = open_directory(directory);
  if (dir_fd_ < 0) {
    if (errno != ENOENT) return ERROR_ACCESS_DENIED;
    // Made now, so that the first wrong passwords are counted under a lock too. One that
    // cannot be made is tried again, or refused, when a failure is recorded.
    if (!exclusive || make_directory() != 0) return dir_fd_ < 0 ? 0 : ERROR_ACCESS_DENIED;
  }
  if (!trusted_directory(dir_fd_)) return ERROR_ACCESS_DENIED;
  if (!known) {
    // The same file work as a known name's, on a file without a name that goes when it is
    // closed: the lookup, an open, the lock and the read here, the write in add_failure.
    // What the lookup finds is left alone.
    decoy_ = true;
    struct stat info {};
    if (!name_.empty()) (void)fstatat(dir_fd_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW);
    fd_ = ::openat(dir_fd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0 && lock_file(fd_, exclusive_)) (void)read_records(fd_);
    return 0;
  }
  // A check locks the account's file before it reads the count, made now if need be: with
  // no file to lock, checks at the same moment would each count from nothing. Where none
  // can be made, a failure to record is refused in add_failure.
  if (exclusive) (void)make_file();
  return open_file(exclusive ? O_RDWR : O_RDONLY);
}

DWORD TallyFile::make_directory() {
  // The host makes the last part of the path only, as its own tools do.
  if (::mkdir(directory_.c_str(), 0755) != 0 && errno != EEXIST) return ERROR_ACCESS_DENIED;
  dir_fd_ = open_directory(directory_);
  if (dir_fd_ < 0 || !trusted_directory(dir_fd_)) return ERROR_ACCESS_DENIED;
  return 0;
}

DWORD TallyFile::make_file() {
  const int made = ::openat(dir_fd_, name_.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (made < 0) {
    if (errno == EEXIST) return 0;
    return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
  }
  // The host hands each account its file.
  const bool given = geteuid() != 0 || fchown(made, owner_, static_cast<gid_t>(-1)) == 0;
  ::close(made);
  return given ? 0 : ERROR_ACCESS_DENIED;
}

DWORD TallyFile::open_file(int flags) {
  fd_ = ::openat(dir_fd_, name_.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                 0600);
  if (fd_ < 0) return errno == ENOENT ? 0 : ERROR_ACCESS_DENIED;
  if (!trusted_file(fd_, owner_)) return ERROR_ACCESS_DENIED;
  if (!lock_file(fd_, exclusive_)) return ERROR_BUSY;
  records_ = read_records(fd_);
  return 0;
}

DWORD TallyFile::add_failure(std::int64_t now, const LockoutPolicy& policy) {
  if (!exclusive_) return ERROR_ACCESS_DENIED;
  if (dir_fd_ < 0)
    if (const DWORD rc = make_directory(); rc != 0) return rc;
  if (decoy_) {
    // Fails where a known name's new file would (a directory we cannot write); a file
    // system without unnamed files only loses the equal cost.
    if (fd_ < 0) fd_ = ::openat(dir_fd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      if (errno == EOPNOTSUPP || errno == EISDIR) return 0;
      return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
    }
    std::vector<TallyRecord> one;
    add_tally_failure(one, now, policy);
    return write_records(fd_, one);
  }
  if (fd_ < 0) {
    // Made here, or by another process since the open: either way read under the lock.
    if (const DWORD rc = make_file(); rc != 0) return rc;
    if (const DWORD rc = open_file(O_RDWR); rc != 0) return rc;
    if (fd_ < 0) return ERROR_ACCESS_DENIED;  // removed again meanwhile
  }
  add_tally_failure(records_, now, policy);
  return write_records(fd_, records_);
}

DWORD TallyFile::clear() {
  if (fd_ < 0 || decoy_) return 0;
  if (!exclusive_) return ERROR_ACCESS_DENIED;
  struct stat info {};
  if (fstat(fd_, &info) == 0 && info.st_size == 0) return 0;
  if (ftruncate(fd_, 0) != 0) return ERROR_ACCESS_DENIED;
  records_.clear();
  return 0;
}

DWORD clear_tally(const std::string& directory, const std::string& name, uid_t owner) {
  TallyFile tally;
  if (const DWORD rc = tally.open(directory, name, true, owner, true); rc != 0) return rc;
  return tally.clear();
}

DWORD remove_tally(const std::string& directory, const std::string& name) {
  const int dir_fd = open_directory(directory);
  if (dir_fd < 0) return errno == ENOENT ? 0 : ERROR_ACCESS_DENIED;
  DWORD rc = 0;
  if (!trusted_directory(dir_fd) || (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT))
    rc = ERROR_ACCESS_DENIED;
  ::close(dir_fd);
  return rc;
}

}  // namespace ostrel_posix
