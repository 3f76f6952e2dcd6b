#include "platform/posix/entry/host.h"

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/names.h"
#include "platform/posix/common/utf.h"

namespace ostrel_posix {
namespace {

std::string read_host_name() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

// The host name as the registry read gives it, in UTF-16 (empty when it cannot be read or
// converted): read again at most once a second, as that read comes with every account
// command; a renamed host still shows within a second. Kept converted, so that a read
// between two checks takes no heap block.
std::mutex name_mutex;
std::u16string recent_wide;
std::int64_t recent_read_ms = 0;
bool have_recent_name = false;

// Milliseconds of the monotonic clock at the resolution of the scheduler's tick: enough for
// a once-a-second check, and cheaper to read than the precise clock.
std::int64_t coarse_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The recent name, read again when it is due; name_mutex held.
const std::u16string& recent_host_name_locked() {
  const std::int64_t now = coarse_ms();
  if (!have_recent_name || now - recent_read_ms >= 1000) {
    recent_wide.clear();
    if (!utf8_to_utf16(read_host_name(), recent_wide)) recent_wide.clear();
    recent_read_ms = now;
    have_recent_name = true;
  }
  return recent_wide;
}

// The folded host name is kept; it is read again only when a name does not match it, so
// that a renamed host is still recognised without a system call on every account call.
// The last name that matched is kept as it was given too: callers give the same one on
// every call, and it is then known without folding it again.
std::mutex host_mutex;
std::string cached_host_key;
std::u16string matched_as_given;

bool matched_before(std::u16string_view given) {
  std::lock_guard<std::mutex> lock(host_mutex);
  return !matched_as_given.empty() && given == matched_as_given;
}

bool names_this_host(std::u16string_view given, const std::string& key) {
  std::lock_guard<std::mutex> lock(host_mutex);
  if (cached_host_key.empty() || key != cached_host_key) {
    std::u16string wide;
    if (!utf8_to_utf16(read_host_name(), wide) || wide.empty()) return false;
    std::string fresh;
    if (!name_key(wide, fresh)) return false;
    if (fresh != cached_host_key) matched_as_given.clear();
    cached_host_key = fresh;
    if (key != cached_host_key) return false;
  }
  matched_as_given = given;
  return true;
}

bool is_local(const WCHAR* name, bool dot_is_local) {
  if (name == nullptr) return true;
  std::u16string_view view(name, bounded_length(name, 300));
  if (view.size() > 300) return false;
  if (view.size() >= 2 && view[0] == u'\\' && view[1] == u'\\') view.remove_prefix(2);
  if (view.empty()) return true;
  if (dot_is_local && view == u".") return true;
  if (matched_before(view)) return true;
  std::string key;
  if (!name_key(view, key)) return false;
  if (key == "LOCALHOST" || backend_names_server(key)) return true;
  return names_this_host(view, key);
}

}  // namespace

std::size_t copy_host_name_wide(char16_t* out, std::size_t room) {
  std::lock_guard<std::mutex> lock(name_mutex);
  const std::u16string& name = recent_host_name_locked();
  if (name.empty()) return 0;
  const std::size_t units = name.size() + 1;
  if (out != nullptr && room >= units) std::memcpy(out, name.c_str(), units * sizeof(char16_t));
  return units;
}

bool is_local_server(const WCHAR* server) {
  return is_local(server, false);
}

bool is_local_domain(const WCHAR* domain) {
  return is_local(domain, true);
}

}  // namespace ostrel_posix
