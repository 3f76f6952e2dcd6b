// The lock the host's account tools take before they change the account files: the
// password-file lock (lckpwdf for the system's own files, the same fcntl lock on
// ".pwd.lock" beside files the settings name) and, for each file, "<file>.lock" made by
// linking a file that holds our process id, so that a lock left by a dead process is
// recognised and broken.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace ostrel_posix {

/// How long a writer waits for a lock another process holds.
inline constexpr int kLockWaitMs = 15000;

class AccountFilesLock {
 public:
  /// Takes the locks for files (their paths), waiting up to kLockWaitMs. status() is 0
  /// when all are held, ERROR_BUSY when another process kept one, ERROR_ACCESS_DENIED
  /// when a lock file cannot be made.
  AccountFilesLock(const std::string& password_file, const std::vector<std::string>& files);
  ~AccountFilesLock();
  AccountFilesLock(const AccountFilesLock&) = delete;
  AccountFilesLock& operator=(const AccountFilesLock&) = delete;
  DWORD status() const { return status_; }

 private:
  DWORD status_ = 0;
  bool system_lock_ = false;  // lckpwdf held
  int lock_fd_ = -1;          // the fcntl lock beside other files
  std::vector<std::string> held_;
};

}  // namespace ostrel_posix
