#include "platform/posix/system/file_lock.h"

#include <fcntl.h>
#include <shadow.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/posix/system/system_options.h"

namespace ostrel_posix {
namespace {

using Clock = std::chrono::steady_clock;

// One writer per process: the fcntl lock is the process's, and lckpwdf keeps one lock.
std::mutex writer_mutex;

void pause_a_little() {
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// A lock file whose process is gone: true when it held a process id that no longer runs.
bool lock_is_stale(const std::string& lock) {
  const int fd = ::open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char text[32] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  if (pid <= 0 || end == text) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// One attempt at "<file>.lock": 0 held, ERROR_BUSY taken by a live process, else an error.
DWORD try_file_lock(const std::string& file) {
  const std::string lock = file + ".lock";
  const std::string mine = file + "." + std::to_string(::getpid());
  ::unlink(mine.c_str());
  const int fd = ::open(mine.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return ERROR_ACCESS_DENIED;
  const std::string pid = std::to_string(::getpid());
  const bool written = ::write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
  ::close(fd);
  DWORD rc = ERROR_ACCESS_DENIED;
  if (written) {
    if (::link(mine.c_str(), lock.c_str()) == 0) {
      rc = 0;
    } else if (errno == EEXIST) {
      rc = ERROR_BUSY;
      // A dead process's lock is removed, and the link tried once more.
      if (lock_is_stale(lock) && ::unlink(lock.c_str()) == 0 &&
          ::link(mine.c_str(), lock.c_str()) == 0)
        rc = 0;
    }
  }
  ::unlink(mine.c_str());
  return rc;
}

// The fcntl lock on ".pwd.lock" in directory, as lckpwdf takes it on /etc/.pwd.lock.
int take_directory_lock(const std::string& directory, Clock::time_point deadline, DWORD& rc) {
  const std::string path = directory + "/.pwd.lock";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    rc = ERROR_ACCESS_DENIED;
    return -1;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  while (::fcntl(fd, F_SETLK, &lock) != 0) {
    if ((errno != EACCES && errno != EAGAIN && errno != EINTR) || Clock::now() >= deadline) {
      rc = errno == EACCES || errno == EAGAIN ? ERROR_BUSY : ERROR_ACCESS_DENIED;
      ::close(fd);
      return -1;
    }
    pause_a_little();
  }
  rc = 0;
  return fd;
}

}  // namespace

AccountFilesLock::AccountFilesLock(const std::string& password_file,
                                   const std::vector<std::string>& files) {
  writer_mutex.lock();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kLockWaitMs);
  const std::string directory = directory_of(password_file);
  if (directory == "/etc") {
    system_lock_ = lckpwdf() == 0;
    if (!system_lock_)
      status_ = errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_BUSY;
  } else {
    lock_fd_ = take_directory_lock(directory, deadline, status_);
  }
  for (const std::string& file : files) {
    if (status_ != 0) break;
    for (;;) {
      status_ = try_file_lock(file);
      if (status_ == 0) held_.push_back(file);
      if (status_ != ERROR_BUSY || Clock::now() >= deadline) break;
      pause_a_little();
    }
  }
}

AccountFilesLock::~AccountFilesLock() {
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) ::unlink((*it + ".lock").c_str());
  if (lock_fd_ >= 0) ::close(lock_fd_);
  if (system_lock_) ulckpwdf();
  writer_mutex.unlock();
}

}  // namespace ostrel_posix
