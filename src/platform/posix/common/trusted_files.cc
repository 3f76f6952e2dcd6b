// Settings, log, account store and password files are refused when another local user
// could have planted or changed them (or, for a secret, read them), the way careful daemons
// refuse unsafe configuration.
#include "platform/posix/common/trusted_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace ostrel_posix {

namespace {

void (*file_reporter)(const char* path, const char* reason) = nullptr;

}  // namespace

const char* untrusted_file_reason(const struct stat& status, FileUse use) {
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  if (status.st_uid != geteuid() && status.st_uid != 0) return "owned by another user";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by group or others";
  if (use == FileUse::kSecret && (status.st_mode & (S_IRGRP | S_IROTH)) != 0)
    return "readable by group or others";
  return nullptr;
}

const char* untrusted_path_reason(const char* path, FileUse use) {
  struct stat status {};
  if (lstat(path, &status) != 0) return errno == ENOENT ? nullptr : "cannot be examined";
  if (S_ISLNK(status.st_mode)) return "a symbolic link";
  return untrusted_file_reason(status, use);
}

int open_trusted_descriptor(const char* path, FileUse use, const char** reason) {
  *reason = nullptr;
  if (path == nullptr || *path == '\0') {
    *reason = "no file named";
    return -1;
  }
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *reason = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
    return -1;
  }
  struct stat status {};
  *reason = fstat(fd, &status) != 0 ? "cannot be examined" : untrusted_file_reason(status, use);
  if (*reason == nullptr) return fd;
  close(fd);
  return -1;
}

DWORD refuse_file(const std::string& path, const char* reason) {
  if (file_reporter != nullptr) file_reporter(path.c_str(), reason);
  return ERROR_BAD_CONFIGURATION;
}

}  // namespace ostrel_posix

namespace {

// Closes a descriptor that did not become a stream.
struct DescriptorGuard {
  int fd;
  ~DescriptorGuard() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

void platform_set_file_reporter(void (*report)(const char* path, const char* reason)) {
  ostrel_posix::file_reporter = report;
}

std::FILE* open_trusted_file(const char* path, const char* mode, const char** refusal) {
  if (refusal) *refusal = nullptr;
  const bool append = mode != nullptr && std::strcmp(mode, "a") == 0;
  if (path == nullptr || mode == nullptr || (!append && std::strcmp(mode, "r") != 0)) {
    errno = EINVAL;
    return nullptr;
  }
  const char* reason = nullptr;
  int fd = -1;
  if (append) {
    // A log is never reached through a symbolic link, and never made readable by all.
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0 && errno == ELOOP) reason = "a symbolic link";
  } else {
    // A settings file may be a link, but only one that this user or root made.
    struct stat link {};
    if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != geteuid() &&
        link.st_uid != 0) {
      reason = "a symbolic link owned by another user";
    } else {
      fd = open(path, O_RDONLY | O_CLOEXEC);
    }
  }
  DescriptorGuard guard{fd};
  if (fd >= 0) {
    struct stat status {};
    reason = fstat(fd, &status) != 0 ? "cannot be examined"
                                     : ostrel_posix::untrusted_file_reason(status);
  }
  if (reason != nullptr) {
    if (refusal) *refusal = reason;
    errno = EACCES;
    return nullptr;
  }
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, mode);
  if (stream != nullptr) guard.fd = -1;
  return stream;
}
