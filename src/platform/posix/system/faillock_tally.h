// The count of wrong passwords of the host's accounts, kept where the host keeps its own:
// one file per account in the faillock tally directory, so that every process using the
// host's accounts (a PAM stack with pam_faillock included) counts together, and the host's
// "faillock --user NAME [--reset]" shows and clears the count.
//
// A file is a sequence of 64-byte records in host byte order: the source of the failure
// (54 bytes, NUL-padded), a status (bit 0: the record counts; bit 1: the source is a
// remote host, bit 2: a terminal, neither: a service) and the time of the failure in
// seconds since the epoch (8 bytes). The file is locked with flock(2) while it is read or
// rewritten, as the host's tools lock it.
//
// The policy reads the records as the host does: an account is locked while at least
// threshold counting records lie within the window before the newest one, until duration
// after that newest one (for good with a duration of 0). A wrong password is not recorded
// while the account is locked, so the lock runs from the failure that set it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/system/system_options.h"

namespace ostrel_posix {

struct TallyRecord {
  std::string source;
  std::uint16_t status = 0;
  std::int64_t time = 0;
};

inline constexpr std::uint16_t kTallyValid = 0x1;
inline constexpr std::size_t kTallyRecordSize = 64;

/// The tally directory of the host whose account files options names: "dir" of
/// faillock.conf in "security/" beside the password file (/etc/security/faillock.conf for
/// the host's own), else /var/run/faillock.
std::string tally_directory(const SystemOptions& options);

/// True while records lock the account at now.
bool tally_records_locked(const std::vector<TallyRecord>& records, std::int64_t now,
                          const LockoutPolicy& policy);

/// Adds a wrong password at now. Records older than the window stop counting, and all do
/// when a lock has run out, so that the count starts again.
void add_tally_failure(std::vector<TallyRecord>& records, std::int64_t now,
                       const LockoutPolicy& policy);

/// One account's tally file, open and locked for as long as the object lives.
class TallyFile {
 public:
  TallyFile() = default;
  ~TallyFile();
  TallyFile(const TallyFile&) = delete;
  TallyFile& operator=(const TallyFile&) = delete;

  /// Opens the tally directory and the file of the account name (none yet is no failure),
  /// locked shared or exclusive; owner is the account's uid. An exclusive open makes the
  /// directory and the file when they are missing and can be made, so that the count is
  /// read under the lock from the first attempt on. For a name no account has
  /// (known false, name empty when malformed) the same file work goes to a file without a
  /// name, so that none is ever made for it and it costs what a known name does. 0;
  /// ERROR_ACCESS_DENIED for a directory or file another user could have planted or changed, or one
  /// that cannot be opened; ERROR_BUSY when another process keeps the file locked.
  DWORD open(const std::string& directory, const std::string& name, bool known, uid_t owner,
             bool exclusive);

  const std::vector<TallyRecord>& records() const { return records_; }
  bool locked(std::int64_t now, const LockoutPolicy& policy) const {
    return tally_records_locked(records_, now, policy);
  }

  /// Records a wrong password at now (exclusive open), making the directory and the
  /// account's file when missing; a new file is the account's when we are root.
  /// 0, ERROR_ACCESS_DENIED, ERROR_BUSY or ERROR_DISK_FULL.
  DWORD add_failure(std::int64_t now, const LockoutPolicy& policy);

  /// Empties the file (exclusive open), as "faillock --reset" does. 0 or ERROR_ACCESS_DENIED.
  DWORD clear();

 private:
  DWORD open_file(int flags);
  DWORD make_directory();  // the tally directory, opened into dir_fd_
  DWORD make_file();       // the account's file when missing: 0 when it is there now

  std::string directory_, name_;
  uid_t owner_ = 0;
  bool exclusive_ = false;
  bool decoy_ = false;  // a name no account has: fd_ is a file without a name
  int dir_fd_ = -1;
  int fd_ = -1;
  std::vector<TallyRecord> records_;
};

/// Empties the account's tally, which unlocks it; no file is made. 0 or an open's code.
DWORD clear_tally(const std::string& directory, const std::string& name, uid_t owner);

/// Removes the account's tally file. 0 or ERROR_ACCESS_DENIED.
DWORD remove_tally(const std::string& directory, const std::string& name);

}  // namespace ostrel_posix
