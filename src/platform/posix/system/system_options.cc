#include "platform/posix/system/system_options.h"

#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace ostrel_posix {
namespace {

std::mutex options_mutex;
SystemOptions current;

bool all_digits(const char* text) {
  if (text == nullptr || *text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

// A shadow field: digits, or empty for a setting given empty. Anything else (a colon or a
// sign would break the line) keeps the default.
void ageing(std::string& field, const char* value) {
  if (value != nullptr && (*value == '\0' || all_digits(value))) field = value;
}

}  // namespace

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

SystemOptions system_options() {
  std::lock_guard<std::mutex> lock(options_mutex);
  return current;
}

}  // namespace ostrel_posix

void platform_set_system_options(const PlatformSystemOptions& given) {
  using namespace ostrel_posix;
  SystemOptions o;
  if (given.password_file != nullptr && *given.password_file != '\0')
    o.password_file = given.password_file;
  if (given.shadow_file != nullptr && *given.shadow_file != '\0') o.shadow_file = given.shadow_file;
  const std::string directory = directory_of(o.password_file);
  o.group_file = (directory == "/" ? "" : directory) + "/group";
  o.gshadow_file = (directory == "/" ? "" : directory) + "/gshadow";
  o.opasswd_file = (directory == "/" ? "" : directory) + "/security/opasswd";
  o.shadow = given.shadow;
  if (all_digits(given.base_uid)) o.base_uid = std::strtoul(given.base_uid, nullptr, 10);
  if (given.home_path != nullptr) o.home_path = given.home_path;
  if (given.shell != nullptr && *given.shell != '\0') o.shell = given.shell;
  ageing(o.sp_min, given.sp_min);
  ageing(o.sp_max, given.sp_max);
  ageing(o.sp_warn, given.sp_warn);
  ageing(o.sp_inact, given.sp_inact);
  ageing(o.sp_expire, given.sp_expire);
  std::lock_guard<std::mutex> lock(options_mutex);
  current = o;
}
