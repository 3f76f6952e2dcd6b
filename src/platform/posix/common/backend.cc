// Which backend answers the account calls: the directory when "account_db" holds an LDAP
// URI, the host's account files when it reads "system", an Active Directory domain when it
// starts with "ad:" and names its domain controllers, else the store file it names.
#include "platform/posix/common/backend.h"

#include <atomic>
#include <cctype>

#include "platform/posix/common/utf.h"

namespace ostrel_posix {
namespace {

enum Chosen : int { kStore, kDirectory, kSystem, kDomain };
std::atomic<int> chosen{kStore};

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

}  // namespace

bool is_directory_uri(std::string_view path) {
  return starts_with_nocase(path, "ldap://") || starts_with_nocase(path, "ldaps://") ||
         starts_with_nocase(path, "ldapi://");
}

const Backend& active_backend() {
  switch (chosen.load(std::memory_order_acquire)) {
    case kDirectory:
      return directory_backend();
    case kSystem:
      return system_backend();
    case kDomain:
      return domain_backend();
    default:
      return store_backend();
  }
}

bool backend_names_server(const std::string& key) {
  return chosen.load(std::memory_order_acquire) == kDomain && names_domain_controller(key);
}

bool backend_valid_name(std::u16string_view name) {
  const auto rule = active_backend().valid_name;
  return rule != nullptr ? rule(name) : valid_account_name(name);
}

bool backend_account_name(const WCHAR* name, std::u16string_view& view, std::string& key) {
  const auto rule = active_backend().valid_name;
  if (rule == nullptr) return account_name_and_key(name, view, key);
  if (name == nullptr) return false;
  // One unit more than any rule takes, so that a longer name is seen to be too long.
  view = std::u16string_view(name, bounded_length(name, kMaxTextUnits));
  return rule(view) && name_key(view, key);
}

}  // namespace ostrel_posix

void platform_set_account_db(const char* path) {
  using namespace ostrel_posix;
  const std::string named = path == nullptr ? std::string() : std::string(path);
  const bool directory = is_directory_uri(named);
  const bool system = named == kSystemAccounts;
  const bool domain = starts_with_nocase(named, kDomainPrefix);
  set_store_path(directory || system || domain ? std::string() : named);
  set_directory_uri(directory ? named : std::string());
  set_domain_uri(domain ? named.substr(kDomainPrefix.size()) : std::string());
  chosen.store(directory ? kDirectory
               : system  ? kSystem
               : domain  ? kDomain
                         : kStore,
               std::memory_order_release);
}

void platform_close_directory() {
  ostrel_posix::close_directory();
}
