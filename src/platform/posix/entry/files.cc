// Small file and process services of the platform layer.
#include <fcntl.h>
#include <pwd.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/trusted_files.h"
#include "platform/posix/system/home_dirs.h"

namespace {

// The user new directories are given to (platform_set_home_owner); empty: none.
std::string& home_owner() {
  static std::string name;
  return name;
}

// Closes a descriptor on every way out, keeping errno.
struct Descriptor {
  int fd;
  ~Descriptor() {
    const int saved = errno;
    if (fd >= 0) close(fd);
    errno = saved;
  }
};

// Makes the directory at path and gives it to owner. The new directory is opened beside its
// parent without following a link, so that root's chown never reaches what a link put in its
// place names; one that cannot be given is removed again, so that no home is left to root.
int make_owned_directory(const char* path, const std::string& owner) {
  std::string whole = path;
  while (whole.size() > 1 && whole.back() == '/') whole.pop_back();
  const std::size_t slash = whole.rfind('/');
  const std::string parent_path = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : whole.substr(0, slash);
  const std::string name = slash == std::string::npos ? whole : whole.substr(slash + 1);
  const Descriptor parent{open(parent_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (parent.fd < 0 || mkdirat(parent.fd, name.c_str(), 0755) != 0) return -1;

  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  int failure = EPERM;
  if (getpwnam_r(owner.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    ostrel_posix::refuse_file(whole, "home_owner names no user of this host");
    failure = EINVAL;
  } else {
    const Descriptor made{
        openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat info {};
    if (made.fd >= 0 && fstat(made.fd, &info) == 0 && info.st_uid == geteuid()) {
      if (info.st_uid == found->pw_uid && info.st_gid == found->pw_gid) return 0;
      if (fchown(made.fd, found->pw_uid, found->pw_gid) == 0) return 0;
      failure = errno;
    }
  }
  unlinkat(parent.fd, name.c_str(), AT_REMOVEDIR);
  errno = failure;
  return -1;
}

}  // namespace

void platform_set_home_owner(const char* user) {
  home_owner() = user != nullptr ? user : "";
}

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
  if (!home_owner().empty()) return make_owned_directory(path, home_owner());
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
