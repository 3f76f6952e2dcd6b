// Password logon against the host's hashes. Every refusal costs one hash check: an
// unknown user, an account without a usable hash and a wrong password alike.
#include <string>

#include "platform/posix/backend.h"
#include "platform/posix/system/system_entries.h"
#include "platform/posix/system/system_files.h"
#include "platform/posix/system/unix_hash.h"

namespace ostrel_posix {

DWORD system_logon(const AccountName* name, const std::string* password) {
  prepare_unix_dummy();  // made now if need be, before any path can differ in cost
  std::string hash;
  if (name != nullptr) {
    SystemFiles files;
    // A file that cannot be read is told apart from a refused password.
    if (const DWORD rc = files.open(false, false); rc != 0) return rc;
    if (const int at = find_entry(files.passwd, name->text); at >= 0) hash = stored_hash(files, at);
  }
  const std::string text = password != nullptr ? *password : std::string();
  const bool locked = !hash.empty() && hash[0] == '!';
  const std::string usable = locked ? hash.substr(1) : hash;
  if (password == nullptr || usable.empty()) {
    unix_verify_dummy(text);
    return ERROR_LOGON_FAILURE;
  }
  if (!unix_hash_matches(usable, text)) return ERROR_LOGON_FAILURE;
  return locked ? ERROR_ACCOUNT_DISABLED : 0;
}

}  // namespace ostrel_posix
