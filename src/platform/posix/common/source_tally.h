// Counts of wrong passwords per source for the accounts of a directory or a domain, whose
// servers count account-wide by their own policy, which Ostrel's settings do not drive.
// They are kept on this host in the tally format of the host's accounts (faillock_tally.h),
// one file per account in a directory of Ostrel's own, shared by every process (the ostrel
// commands and the PAM module in the mail servers' workers) through its locks, at most a
// bounded number of records each and expiring with the window. A throttled source is
// refused before any bind, so that its guesses never reach the server's own counter.
// Without a source, or without a lockout policy, nothing is kept here.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/posix/system/faillock_tally.h"

namespace ostrel_posix {

/// The directory the counts are kept in ("lockout_tally_dir").
std::string source_tally_directory();

/// The counts of the logon under way, for one account.
class SourceTally {
 public:
  /// Opens the account's counts (account_key: its name as the backend compares names)
  /// and locks them until this object goes, when the policy counts and the logon has a
  /// source; else counting() is false and nothing here does anything. For a name without
  /// an account (known false) the same file work is done and no file is made. 0,
  /// ERROR_BAD_CONFIGURATION for a directory the trust rule refuses, or an open's code.
  DWORD open(const std::string& account_key, bool known);

  bool counting() const { return counting_; }

  /// True when the logon's source is throttled for this account.
  bool throttled() const;

  /// True when the account has recent wrong passwords kept here, so that a logon may be
  /// the repeat of one.
  bool may_repeat() const;

  /// True when key (wrong_password_key of the logon's password) is one of the account's
  /// recent wrong passwords: a device repeating a stale password, refused before any bind
  /// so that the server's own count sees it once.
  bool repeats_recent_wrong(const std::string& key) const;

  /// A wrong password of the logon's source: key is wrong_password_key of it, so that a
  /// repeat of a recent one adds nothing. 0 or a code of the tally file.
  DWORD wrong_password(const std::string& key);

  /// The right password: the source's count starts again. Failures are let go.
  void right_password();

 private:
  TallyFile file_;
  bool counting_ = false;
  bool known_ = false;
  LockoutPolicy policy_;
  std::int64_t now_ = 0;
};

/// Clears every count of the account kept here (a set that unlocks, a new password) and
/// its recent wrong passwords; nothing is made where nothing is kept. 0 or a code.
DWORD clear_source_tallies(const std::string& account_key);

/// Removes what is kept here for the account (a new or deleted account). 0 or a code.
DWORD remove_source_tallies(const std::string& account_key);

}  // namespace ostrel_posix
