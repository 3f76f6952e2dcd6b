// Small file and process services of the platform layer.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/system/home_dirs.h"

void secure_wipe(void* data, std::size_t size) {
  if (data != nullptr && size != 0) sodium_memzero(data, size);
}

int make_directory(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // The host's accounts get homes only where the settings put them.
  if (&ostrel_posix::active_backend() == &ostrel_posix::system_backend())
    return ostrel_posix::system_make_directory(ostrel_posix::system_options(), path);
  return mkdir(path, 0755) == 0 ? 0 : -1;
}

int remove_file(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return unlink(path) == 0 ? 0 : -1;
}

int current_process_id() {
  return static_cast<int>(getpid());
}

std::FILE* create_file_exclusive(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    const int saved = errno;
    close(fd);
    unlink(path);
    errno = saved;
  }
  return stream;
}
