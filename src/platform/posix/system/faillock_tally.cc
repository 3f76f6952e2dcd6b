#include "platform/posix/system/faillock_tally.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/posix/system/file_lock.h"

namespace ostrel_posix {
namespace {

constexpr const char* kDefaultDirectory = "/var/run/faillock";
constexpr const char* kSource = "ostrel";
// What a record's source is read from: the field and the reserved bytes after it, which
// are zero; a source written gets at most kMaxSourceLength bytes and a NUL.
constexpr std::size_t kSourceSize = 54;
// The account's recent wrong passwords beside its tally, and the most of it read.
constexpr const char* kRecentSuffix = ":recent";
constexpr std::size_t kMaxRecentBytes = 4096;
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
    std::memcpy(at, records[i].source.data(), std::min(records[i].source.size(), kMaxSourceLength));
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

// The counting records that pick takes, as the policy reads them: how many lie within
// the window before the newest, when that newest came and whether it has a remote source.
struct Run {
  std::size_t count = 0;
  std::int64_t newest = 0;
  bool newest_remote = false;
};

template <typename Pick>
Run run_of(const std::vector<TallyRecord>& records, const LockoutPolicy& policy, Pick pick) {
  Run run;
  bool any = false;
  for (const TallyRecord& r : records) {
    if ((r.status & kTallyValid) == 0 || !pick(r) || (any && r.time < run.newest)) continue;
    run.newest = r.time;
    run.newest_remote = (r.status & kTallyRemote) != 0;
    any = true;
  }
  for (const TallyRecord& r : records)
    if ((r.status & kTallyValid) != 0 && pick(r) && run.newest - r.time < policy.window_s)
      ++run.count;
  return run;
}

bool any_record(const TallyRecord&) {
  return true;
}

bool of_source(const TallyRecord& r, const std::string& source) {
  return (r.status & kTallyRemote) != 0 && r.source == source;
}

// How many records in a run lock the account: a remote source's failure counts towards
// the account-wide threshold, one without a source towards the threshold itself.
unsigned account_needs(const Run& run, const LockoutPolicy& policy) {
  return run.newest_remote ? policy.account_threshold : policy.threshold;
}

// Whether a run of needed records reaches the count, and whether it still holds at now.
bool run_reached(const Run& run, unsigned needed, const LockoutPolicy& policy) {
  return policy.threshold != 0 && needed != 0 && run.count >= needed;
}

bool run_holds(const Run& run, unsigned needed, std::int64_t now, const LockoutPolicy& policy) {
  return run_reached(run, needed, policy) &&
         (policy.duration_s == 0 || now < run.newest + policy.duration_s);
}

// The recent wrong passwords of an account: "TIME HEX" lines.
std::vector<RecentWrong> parse_recent(const std::string& text) {
  std::vector<RecentWrong> recent;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a line cut short is left out
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0) continue;
    char* stop = nullptr;
    const long long time = std::strtoll(line.c_str(), &stop, 10);
    if (stop != line.c_str() + blank) continue;
    const std::string hex = line.substr(blank + 1);
    std::string key(hex.size() / 2, '\0');
    std::size_t got = 0;
    if (hex.empty() || hex.size() % 2 != 0 ||
        sodium_hex2bin(reinterpret_cast<unsigned char*>(key.data()), key.size(), hex.data(),
                       hex.size(), nullptr, &got, nullptr) != 0 ||
        got != key.size())
      continue;
    recent.push_back({std::move(key), static_cast<std::int64_t>(time)});
  }
  return recent;
}

std::string recent_text(const std::vector<RecentWrong>& recent) {
  std::string text;
  for (const RecentWrong& e : recent) {
    std::string hex(e.key.size() * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(e.key.data()),
                   e.key.size());
    hex.pop_back();
    text += std::to_string(e.at) + ' ' + hex + '\n';
  }
  return text;
}

// A file of our own: regular, with no second name, ours or root's, written by nobody else.
bool own_file(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) return false;
  if (info.st_uid != 0 && info.st_uid != geteuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
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
  const Run run = run_of(records, policy, any_record);
  return run_holds(run, account_needs(run, policy), now, policy);
}

bool tally_source_throttled(const std::vector<TallyRecord>& records, const std::string& source,
                            std::int64_t now, const LockoutPolicy& policy) {
  if (source.empty()) return false;
  const Run run =
      run_of(records, policy, [&source](const TallyRecord& r) { return of_source(r, source); });
  return run_holds(run, policy.threshold, now, policy);
}

void add_tally_failure(std::vector<TallyRecord>& records, std::int64_t now,
                       const LockoutPolicy& policy, const std::string& source) {
  // Only a lock (or throttle) that has run out starts its count again: a count at the
  // threshold that still holds is kept whole.
  const Run run = run_of(records, policy, any_record);
  const unsigned needed = account_needs(run, policy);
  const bool ran_out = run_reached(run, needed, policy) && !run_holds(run, needed, now, policy);
  const auto own = [&source](const TallyRecord& r) { return of_source(r, source); };
  const Run source_run = source.empty() ? Run{} : run_of(records, policy, own);
  const bool source_ran_out = run_reached(source_run, policy.threshold, policy) &&
                              !run_holds(source_run, policy.threshold, now, policy);
  for (TallyRecord& r : records)
    if (ran_out || now - r.time >= policy.window_s || (source_ran_out && own(r)))
      r.status &= ~kTallyValid;
  if (records.size() >= kMaxRecords) {
    std::erase_if(records, [](const TallyRecord& r) { return (r.status & kTallyValid) == 0; });
    if (records.size() >= kMaxRecords)
      records.erase(records.begin(), records.end() - static_cast<long>(kMaxRecords - 1));
  }
  if (source.empty())
    records.push_back({kSource, kTallyValid, now});
  else
    records.push_back({source.substr(0, kMaxSourceLength), kTallyValid | kTallyRemote, now});
}

bool drop_tally_source(std::vector<TallyRecord>& records, const std::string& source) {
  return std::erase_if(records, [&source](const TallyRecord& r) {
           return !source.empty() && of_source(r, source);
         }) != 0;
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

DWORD TallyFile::add_failure(std::int64_t now, const LockoutPolicy& policy,
                             const std::string& source) {
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
    add_tally_failure(one, now, policy, source);
    return write_records(fd_, one);
  }
  if (fd_ < 0) {
    // Made here, or by another process since the open: either way read under the lock.
    if (const DWORD rc = make_file(); rc != 0) return rc;
    if (const DWORD rc = open_file(O_RDWR); rc != 0) return rc;
    if (fd_ < 0) return ERROR_ACCESS_DENIED;  // removed again meanwhile
  }
  add_tally_failure(records_, now, policy, source);
  return write_records(fd_, records_);
}

DWORD TallyFile::clear_source(const std::string& source) {
  if (fd_ < 0 || decoy_) return 0;
  if (!exclusive_) return ERROR_ACCESS_DENIED;
  if (!drop_tally_source(records_, source)) return 0;
  return write_records(fd_, records_) == 0 ? 0 : ERROR_ACCESS_DENIED;
}

DWORD TallyFile::check_recent_wrong(const std::string& key, std::int64_t now,
                                    const LockoutPolicy& policy, bool& stale) {
  stale = false;
  if (decoy_ || fd_ < 0 || dir_fd_ < 0) return 0;
  if (!exclusive_) return ERROR_ACCESS_DENIED;
  const std::string file = name_ + kRecentSuffix;
  // Made for a wrong password only; without one, what is there is let go with the window.
  const int fd = ::openat(
      dir_fd_, file.c_str(),
      O_RDWR | (key.empty() ? 0 : O_CREAT) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == ENOENT && key.empty()) return 0;
    return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
  }
  DWORD rc = 0;
  if (!own_file(fd)) {
    rc = ERROR_ACCESS_DENIED;
  } else {
    std::string text(kMaxRecentBytes, '\0');
    const ssize_t got = pread(fd, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    const std::string before = text;
    std::vector<RecentWrong> recent = parse_recent(text);
    stale = repeat_of_recent_wrong(recent, key, now, policy);
    text = recent_text(recent);
    if (text.empty()) {
      // Nothing left within the window: the file goes (under the tally's lock).
      if (unlinkat(dir_fd_, file.c_str(), 0) != 0 && errno != ENOENT) rc = ERROR_ACCESS_DENIED;
    } else if (text != before) {
      const ssize_t written = pwrite(fd, text.data(), text.size(), 0);
      if (written != static_cast<ssize_t>(text.size()))
        rc = written < 0 && errno != ENOSPC ? ERROR_ACCESS_DENIED : ERROR_DISK_FULL;
      else if (ftruncate(fd, static_cast<off_t>(text.size())) != 0)
        rc = ERROR_ACCESS_DENIED;
    }
  }
  ::close(fd);
  return rc;
}

std::vector<RecentWrong> TallyFile::recent_wrong(std::int64_t now,
                                                 const LockoutPolicy& policy) const {
  std::vector<RecentWrong> recent;
  if (decoy_ || fd_ < 0 || dir_fd_ < 0) return recent;
  const std::string file = name_ + kRecentSuffix;
  const int fd =
      ::openat(dir_fd_, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return recent;
  if (own_file(fd)) {
    std::string text(kMaxRecentBytes, '\0');
    const ssize_t got = pread(fd, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    recent = parse_recent(text);
    std::erase_if(recent, [&](const RecentWrong& e) { return now - e.at >= policy.window_s; });
  }
  ::close(fd);
  return recent;
}

DWORD TallyFile::forget_recent_wrong() {
  if (decoy_ || dir_fd_ < 0) return 0;
  if (!exclusive_) return ERROR_ACCESS_DENIED;
  const std::string file = name_ + kRecentSuffix;
  return unlinkat(dir_fd_, file.c_str(), 0) == 0 || errno == ENOENT ? 0 : ERROR_ACCESS_DENIED;
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
  if (const DWORD rc = tally.clear(); rc != 0) return rc;
  return tally.forget_recent_wrong();
}

DWORD remove_tally(const std::string& directory, const std::string& name) {
  const int dir_fd = open_directory(directory);
  if (dir_fd < 0) return errno == ENOENT ? 0 : ERROR_ACCESS_DENIED;
  DWORD rc = 0;
  const std::string recent = name + kRecentSuffix;
  if (!trusted_directory(dir_fd) || (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) ||
      (unlinkat(dir_fd, recent.c_str(), 0) != 0 && errno != ENOENT))
    rc = ERROR_ACCESS_DENIED;
  ::close(dir_fd);
  return rc;
}

}  // namespace ostrel_posix
