// Which backend answers the account calls: the directory when "account_db" holds an LDAP
// URI, else the store file it names.
#include "platform/posix/backend.h"

#include <atomic>
#include <cctype>

namespace ostrel_posix {
namespace {

std::atomic<bool> directory_chosen{false};

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
  return directory_chosen.load(std::memory_order_acquire) ? directory_backend() : store_backend();
}

}  // namespace ostrel_posix

void platform_set_account_db(const char* path) {
  using namespace ostrel_posix;
  const std::string named = path == nullptr ? std::string() : std::string(path);
  const bool directory = is_directory_uri(named);
  set_store_path(directory ? std::string() : named);
  set_directory_uri(directory ? named : std::string());
  directory_chosen.store(directory, std::memory_order_release);
}
