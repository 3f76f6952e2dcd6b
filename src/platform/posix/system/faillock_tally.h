// The count of wrong passwords of the host's accounts, kept where the host keeps its own:
// one file per account in the faillock tally directory, so that every process using the
// host's accounts (a PAM stack with pam_faillock included) counts together, and the host's
// "faillock --user NAME [--reset]" shows and clears the count.
//
// A file is a sequence of 64-byte records in host byte order: the source of the failure
// (52 bytes, NUL-padded, and 2 reserved), a status (bit 0: the record counts; bit 1: the
// source is a remote host, bit 2: a terminal, neither: a service) and the time of the
// failure in seconds since the epoch (8 bytes). The file is locked with flock(2) while it
// is read or rewritten, as the host's tools lock it.
//
// The policy reads the records as the host does: an account is locked while enough
// counting records lie within the window before the newest one, until duration after that
// newest one (for good with a duration of 0). Enough is threshold when the newest record
// has no remote source (a logon without one, today's rule), account_threshold when it has.
// A remote source is throttled for the account by its own records on the same rule at
// threshold. A wrong password is not recorded while the account is locked or its source
// throttled, so a lock runs from the failure that set it.
//
// Beside each account's file lies "NAME:recent", Ostrel's own (no account name holds a
// colon): the keys of the account's last few wrong passwords (see lockout.h), a line
// "TIME HEX" each, read and written only under the lock of the account's file, emptied
// with it and gone with the window.
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
inline constexpr std::uint16_t kTallyRemote = 0x2;
inline constexpr std::size_t kTallyRecordSize = 64;

/// The tally directory of the host whose account files options names: "dir" of
/// faillock.conf in "security/" beside the password file (/etc/security/faillock.conf for
/// the host's own), else /var/run/faillock.
std::string tally_directory(const SystemOptions& options);

/// True while records lock the account at now.
bool tally_records_locked(const std::vector<TallyRecord>& records, std::int64_t now,
                          const LockoutPolicy& policy);

/// True while the records of source (a remote host; "" is never throttled) throttle it
/// for the account at now.
bool tally_source_throttled(const std::vector<TallyRecord>& records, const std::string& source,
                            std::int64_t now, const LockoutPolicy& policy);

/// Adds a wrong password of source ("" for none) at now. Records older than the window
/// stop counting; all do when the account's lock has run out, and the source's do when
/// its throttle has, so that those counts start again.
void add_tally_failure(std::vector<TallyRecord>& records, std::int64_t now,
                       const LockoutPolicy& policy, const std::string& source = {});

/// Takes out the records of source (a remote host): true when there were any.
bool drop_tally_source(std::vector<TallyRecord>& records, const std::string& source);

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
  bool throttled(const std::string& source, std::int64_t now, const LockoutPolicy& policy) const {
    return tally_source_throttled(records_, source, now, policy);
  }

  /// Records a wrong password of source ("" for none) at now (exclusive open), making the
  /// directory and the account's file when missing; a new file is the account's when we
  /// are root. 0, ERROR_ACCESS_DENIED, ERROR_BUSY or ERROR_DISK_FULL.
  DWORD add_failure(std::int64_t now, const LockoutPolicy& policy, const std::string& source = {});

  /// Empties the file (exclusive open), as "faillock --reset" does. 0 or ERROR_ACCESS_DENIED.
  DWORD clear();

  /// Takes the records of source out of the file (exclusive open): the right password
  /// from there. 0 or ERROR_ACCESS_DENIED.
  DWORD clear_source(const std::string& source);

  /// Whether key repeats one of the account's recent wrong passwords at now (exclusive
  /// open of a known account), keeping the list as repeat_of_recent_wrong leaves it. An
  /// empty key is never stale. 0, ERROR_ACCESS_DENIED or ERROR_DISK_FULL.
  DWORD check_recent_wrong(const std::string& key, std::int64_t now, const LockoutPolicy& policy,
                           bool& stale);

  /// The account's recent wrong passwords within the window at now, as kept, without
  /// changing them (none when there is no list).
  std::vector<RecentWrong> recent_wrong(std::int64_t now, const LockoutPolicy& policy) const;

  /// Removes the account's recent wrong passwords (exclusive open). 0 or ERROR_ACCESS_DENIED.
  DWORD forget_recent_wrong();

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

/// Empties the account's tally, which unlocks it, and forgets its recent wrong passwords;
/// no file is made. 0 or an open's code.
DWORD clear_tally(const std::string& directory, const std::string& name, uid_t owner);

/// Removes the account's tally file and its recent wrong passwords. 0 or ERROR_ACCESS_DENIED.
DWORD remove_tally(const std::string& directory, const std::string& name);

}  // namespace ostrel_posix
