#include "platform/posix/host.h"

#include <unistd.h>

#include <mutex>
#include <string_view>

#include "platform/posix/names.h"
#include "platform/posix/utf.h"

namespace ostrel_posix {
namespace {

std::string read_host_name() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

// The folded host name is kept; it is read again only when a name does not match it, so
// that a renamed host is still recognised without a system call on every account call.
std::mutex host_mutex;
std::string cached_host_key;

bool names_this_host(const std::string& key) {
  std::lock_guard<std::mutex> lock(host_mutex);
  if (!cached_host_key.empty() && key == cached_host_key) return true;
  std::u16string wide;
  if (!utf8_to_utf16(read_host_name(), wide) || wide.empty()) return false;
  std::string fresh;
  if (!name_key(wide, fresh)) return false;
  cached_host_key = fresh;
  return key == cached_host_key;
}

bool is_local(const WCHAR* name, bool dot_is_local) {
  if (name == nullptr) return true;
  std::u16string_view view(name, bounded_length(name, 300));
  if (view.size() > 300) return false;
  if (view.size() >= 2 && view[0] == u'\\' && view[1] == u'\\') view.remove_prefix(2);
  if (view.empty()) return true;
  if (dot_is_local && view == u".") return true;
  std::string key;
  if (!name_key(view, key)) return false;
  if (key == "LOCALHOST") return true;
  return names_this_host(key);
}

}  // namespace

std::u16string host_name_wide() {
  std::u16string wide;
  if (!utf8_to_utf16(read_host_name(), wide)) return {};
  return wide;
}

bool is_local_server(const WCHAR* server) {
  return is_local(server, false);
}

bool is_local_domain(const WCHAR* domain) {
  return is_local(domain, true);
}

}  // namespace ostrel_posix
