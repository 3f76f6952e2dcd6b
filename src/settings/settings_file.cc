// Finding and reading the settings file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "settings/settings.h"
#include "settings/settings_internal.h"

namespace {

constexpr UINT kSystemDirectoryUnits = 256;
constexpr int kDefaultLimit = 492;
constexpr const char* kFallbackFile = "corvex.ini";

// The length join_path would give without cutting, so that an overlong path is refused
// rather than cut into the name of another file.
std::size_t full_join_length(const char* directory, const char* file_name) {
  const std::string clean = sanitize_name(file_name);
  const std::size_t dir_length = directory == nullptr ? 0 : std::strlen(directory);
  if (dir_length == 0) return clean.size();
  const char sep = path_separator();
  const bool dir_ends = directory[dir_length - 1] == sep;
  const bool name_begins = !clean.empty() && clean[0] == sep;
  if (dir_ends && name_begins) return dir_length + clean.size() - 1;
  if (!dir_ends && !name_begins) return dir_length + clean.size() + 1;
  return dir_length + clean.size();
}

void use_default_directory(char* path) {
  copy_bounded(path, path_separator() == '\\' ? "c:\\winnt\\system32\\" : "/etc/", kDefaultLimit);
}

std::FILE* open_settings(const char* path, bool fits, const char** refusal) {
  *refusal = nullptr;
  if (!fits) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  return open_file(path, "r", refusal);
}

// A settings file that another user could have planted or changed ends the run: its
// settings would choose the store, the log and the host.
int refuse_settings(const char* path, const char* refusal) {
  reply_negative("-DEAD Unsafe settings file {%s,%s}", path, refusal);
  return 0;
}

}  // namespace

bool fallback_settings_path(char* path) {
  std::unique_ptr<WCHAR[]> wide(new (std::nothrow) WCHAR[kSystemDirectoryUnits]);
  const UINT units = wide ? GetSystemDirectoryW(wide.get(), kSystemDirectoryUnits) : 0;
  // A result of the capacity or more is the size the call would need: nothing usable.
  if (units == 0 || units >= kSystemDirectoryUnits) {
    use_default_directory(path);
    log_debug("Cannot get system directory, using default {%s}", path);
  } else if (WideCharToMultiByte(CP_ACP, 0, wide.get(), -1, path, kLineBuffer, nullptr, nullptr) ==
             0) {
    use_default_directory(path);
    log_debug("Conversion error on system directory, using default {%s}", path);
  }
  wide.reset();

  const std::size_t length = std::strlen(path);
  const bool has_separator = length > 0 && (path[length - 1] == '\\' || path[length - 1] == '/');
  const std::size_t needed = length + std::strlen(kFallbackFile) + (has_separator ? 0 : 1);
  if (!has_separator) {
    const char sep[2] = {path_separator(), '\0'};
    append_bounded(path, sep, kLineLimit);
  }
  append_bounded(path, kFallbackFile, kLineLimit);
  if (needed > static_cast<std::size_t>(kLineLimit)) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

int load_settings(const char* directory, const char* name) {
  char system_path[kLineBuffer] = {};
  if (name == nullptr) name = "";

  char file_name[kLineBuffer];
  if (std::strchr(name, '.') != nullptr) {
    copy_bounded(file_name, name, kLineLimit);
  } else {
    std::snprintf(file_name, sizeof file_name, "%s.ini", name);
  }
  char settings_path[kLineBuffer];
  copy_bounded(settings_path, join_path(directory, file_name), kLineLimit);
  const bool fits = full_join_length(directory, file_name) <= static_cast<std::size_t>(kLineLimit);

  const char* refusal = nullptr;
  std::FILE* file = open_settings(settings_path, fits, &refusal);
  if (refusal != nullptr) return refuse_settings(settings_path, refusal);
  if (file != nullptr) {
    log_debug("Opened [%s]", settings_path);
  } else {
    log_debug("Unable to open {%s,%s}", settings_path, std::strerror(errno));
    const bool fallback_fits = fallback_settings_path(system_path);
    file = open_settings(system_path, fallback_fits, &refusal);
    if (refusal != nullptr) return refuse_settings(system_path, refusal);
    if (file == nullptr) {
      const std::string error = std::strerror(errno);
      log_debug("Unable to open {%s,%s}", system_path, error.c_str());
      reply_negative("-DEAD Unable to open {%s} or {%s,%s}", settings_path, system_path,
                     error.c_str());
      return 0;
    }
    log_debug("Opened [%s]", system_path);
  }

  // Lines are read in pieces of at most 511 characters; each piece counts as a line.
  char line[kLineBuffer];
  std::string keyword;
  std::string value;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (!split_settings_line(line, &keyword, &value)) continue;
    apply_setting(keyword, value, name);
  }
  close_file(file);

  Settings& s = settings();
  if (!s.group) s.group = "Guests";
  if (!s.uname) s.uname = std::string(kDisplayName) + " " + kVersionText + " user";
  return 1;
}
