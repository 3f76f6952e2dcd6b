#include "platform/posix/system/home_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

namespace ostrel_posix {
namespace {

// Directories made for homes and not yet given, newest last; a few are enough, as a
// home is given by the command that made it.
constexpr std::size_t kMadeKept = 16;
std::mutex made_mutex;
std::vector<std::pair<dev_t, ino_t>> made;

struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The components of path below base; false when path is not below it or names "." or "..".
bool components_below(const std::string& base, const std::string& path,
                      std::vector<std::string>& parts) {
  if (base.empty() || base[0] != '/') return false;
  const std::string prefix = base == "/" ? base : base + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  std::istringstream rest(path.substr(prefix.size()));
  for (std::string part; std::getline(rest, part, '/');) {
    if (part.empty()) continue;
    if (part == "." || part == "..") return false;
    parts.push_back(part);
  }
  return !parts.empty();
}

// The directory that holds the last of parts, walked from base without following a link
// below it; the directories on the way are made (root's, 0755) when make says so.
int open_parent(const std::string& base, const std::vector<std::string>& parts, bool make) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::size_t i = 0; fd >= 0 && i + 1 < parts.size(); ++i) {
    if (make) (void)::mkdirat(fd, parts[i].c_str(), 0755);
    const int next =
        ::openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fd = next;
  }
  return fd;
}

void remember(int parent, const std::string& name) {
  struct stat info {};
  if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  std::lock_guard<std::mutex> lock(made_mutex);
  if (made.size() >= kMadeKept) made.erase(made.begin());
  made.emplace_back(info.st_dev, info.st_ino);
}

bool take_made(const struct stat& info) {
  std::lock_guard<std::mutex> lock(made_mutex);
  for (auto it = made.begin(); it != made.end(); ++it) {
    if (it->first == info.st_dev && it->second == info.st_ino) {
      made.erase(it);
      return true;
    }
  }
  return false;
}

// Makes base and the directories above it, as the operator named it.
void make_base(const std::string& base) {
  for (std::size_t cut = base.find('/', 1); cut != std::string::npos; cut = base.find('/', cut + 1))
    (void)::mkdir(base.substr(0, cut).c_str(), 0755);
  (void)::mkdir(base.c_str(), 0755);
}

}  // namespace

int system_make_directory(const SystemOptions& options, const std::string& path) {
  const std::string base = without_trailing_slashes(options.home_path);
  const std::string wanted = without_trailing_slashes(path);
  if (!base.empty() && base[0] == '/' &&
      (wanted == base || base.compare(0, wanted.size() + 1, wanted + "/") == 0))
    return ::mkdir(path.c_str(), 0755) == 0 ? 0 : -1;
  std::vector<std::string> parts;
  if (!components_below(base, wanted, parts)) {
    errno = EACCES;
    return -1;
  }
  const Descriptor parent(open_parent(base, parts, false));
  if (parent.fd < 0 || ::mkdirat(parent.fd, parts.back().c_str(), 0755) != 0) return -1;
  remember(parent.fd, parts.back());
  return 0;
}

void give_home(const SystemOptions& options, const std::string& home, uid_t uid, gid_t gid) {
  const std::string base = without_trailing_slashes(options.home_path);
  std::vector<std::string> parts;
  if (!components_below(base, without_trailing_slashes(home), parts)) return;
  make_base(base);
  const Descriptor parent(open_parent(base, parts, true));
  if (parent.fd < 0) return;
  const bool made_now = ::mkdirat(parent.fd, parts.back().c_str(), 0700) == 0;
  const Descriptor directory(
      ::openat(parent.fd, parts.back().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (directory.fd < 0 || ::fstat(directory.fd, &info) != 0) return;
  // Made now, or made for this home by the command before; either way still ours.
  if (!take_made(info) && !made_now) return;
  if (info.st_uid != ::geteuid() || ::geteuid() != 0) return;
  // A failure leaves the directory root's: the account works, its home is not writable.
  if (::fchown(directory.fd, uid, gid) != 0) return;
}

}  // namespace ostrel_posix
