// Home directories: the probe that tests whether one can be written to, and the chain
// that creates the directories along its path.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "accounts/accounts.h"
#include "log/log.h"
#include "service/service.h"

namespace {

// How many probe file names are tried before the directory counts as not writable.
constexpr int kProbeNames = 100;

// An absolute path is the drive form (d:\...) with the backslash separator, a path that
// begins with the separator otherwise.
bool is_absolute(const char* path) {
  if (path_separator() == '/') return path[0] == '/';
  return path[0] != '\0' && path[1] == ':';
}

// The probe file's path inside directory. Built whole rather than in the 512-byte path
// buffer, so that a long home never turns the probe into a file at the home's own path.
std::string probe_path(const char* directory, const char* file_name) {
  std::string path = directory;
  if (path.empty() || path.back() != path_separator()) path += path_separator();
  return path + file_name;
}

bool is_directory(const char* path) {
  std::error_code error;
  return std::filesystem::is_directory(std::filesystem::path(path), error);
}

}  // namespace

const char* ensure_trailing_backslash(const char* path) {
  // 511 characters, one added separator and the terminator.
  static char area[kLineBuffer + 1];
  char* end = copy_bounded(area, path, kLineLimit);
  const char separator = path_separator();
  if (end == area || end[-1] != separator) {
    end[0] = separator;
    end[1] = '\0';
  }
  return area;
}

int probe_home_directory(const char* path) {
  if (!path) return 0;
  log_info("Find home directory {%s}", path);
  if (!is_absolute(path)) return -1;

  // The test file is made only where no file of its name exists, so that nothing the
  // directory already holds is emptied or removed.
  for (int attempt = 0; attempt < kProbeNames; ++attempt) {
    char file_name[32];
    if (attempt == 0) {
      std::snprintf(file_name, sizeof file_name, "test.tmp");
    } else {
      std::snprintf(file_name, sizeof file_name, "test%d.tmp", attempt);
    }
    const std::string test_path = probe_path(path, file_name);
    log_debug("Opening {%s}", test_path.c_str());
    std::FILE* file = open_file(test_path.c_str(), "wx");
    if (!file) {
      if (errno == EEXIST) continue;
      return 0;
    }
    close_file(file);
    log_debug("Removing {%s}", test_path.c_str());
    if (remove_file(test_path.c_str()) != 0) log_error("Error removing {%s}", test_path.c_str());
    return 1;
  }
  return 0;
}

int create_directory_chain(const char* path) {
  if (!path) return 0;
  const char separator = path_separator();
  char work[kLineBuffer + 1];
  copy_bounded(work, ensure_trailing_backslash(path), kLineBuffer);

  // The chain starts behind the root: after "d:\" in the drive form, after the leading
  // separator otherwise. The root itself is never created.
  const std::size_t start = separator == '/' ? 1 : 3;
  const std::size_t length = std::strlen(work);
  int last_error = 0;
  for (char* cut = start < length ? std::strchr(work + start, separator) : nullptr; cut;
       cut = std::strchr(cut + 1, separator)) {
    *cut = '\0';
    errno = 0;
    log_info("Create (%s)?", work);
    if (make_directory(work) == 0) {
      last_error = 0;
      log_info("Created '%s' Directory", work);
    } else {
      last_error = errno;
      if (last_error == EACCES) {
        log_info("Directory '%s' exists", work);
      } else if (last_error == ENOENT) {
        reply_negative("-ERR Unable to create home directory '%s', %s", work,
                       std::strerror(last_error));
        return 0;
      }
    }
    *cut = separator;
  }

  // Whatever each step answered, the chain has done its work only when the directory
  // is there now.
  std::size_t end = std::strlen(work);
  if (end > 1 && work[end - 1] == separator) work[end - 1] = '\0';
  if (is_directory(work)) return 1;
  reply_negative("-ERR Unable to create home directory '%s', %s", work,
                 std::strerror(last_error != 0 ? last_error : ENOTDIR));
  return 0;
}
