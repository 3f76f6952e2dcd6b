#include "platform/posix/entry/host.h"

#include <unistd.h>

#include <chrono>
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

// The host name as the registry read gives it: read again at most once a second, as that
// read comes with every account command; a renamed host still shows within a second.
std::mutex name_mutex;
std::string recent_name;
std::chrono::steady_clock::time_point recent_read_at;
bool have_recent_name = false;

std::string recent_host_name() {
  std::lock_guard<std::mutex> lock(name_mutex);
  const auto now = std::chrono::steady_clock::now();
  if (!have_recent_name || now - recent_read_at >= std::chrono::seconds(1)) {
    recent_name = read_host_name();
    recent_read_at = now;
    have_recent_name = true;
  }
  return recent_name;
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

std::u16string host_name_wide() {
  std::u16string wide;
  if (!utf8_to_utf16(recent_host_name(), wide)) return {};
  return wide;
}

bool is_local_server(const WCHAR* server) {
  return is_local(server, false);
}

bool is_local_domain(const WCHAR* domain) {
  return is_local(domain, true);
}

}  // namespace ostrel_posix
