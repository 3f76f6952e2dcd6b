// Password logon against the host's hashes. Every refusal costs one hash check: an
// unknown user, an account without a usable hash, a wrong password and a locked account
// alike. Under a lockout policy the account's tally file (faillock_tally.h) stays locked
// from before the check until its outcome is counted, so that checks of other processes
// count in turn and none slips past the threshold.
#include <string>

#include "platform/posix/backend.h"
#include "platform/posix/lockout.h"
#include "platform/posix/system/faillock_tally.h"
#include "platform/posix/system/system_entries.h"
#include "platform/posix/system/system_files.h"
#include "platform/posix/system/unix_hash.h"

namespace ostrel_posix {
namespace {

// The check itself: 0, ERROR_LOGON_FAILURE or ERROR_ACCOUNT_DISABLED (right password).
DWORD check_hash(const std::string& hash, const std::string* password) {
  const std::string text = password != nullptr ? *password : std::string();
  const bool disabled = !hash.empty() && hash[0] == '!';
  const std::string usable = disabled ? hash.substr(1) : hash;
  if (password == nullptr || usable.empty()) {
    unix_verify_dummy(text);
    return ERROR_LOGON_FAILURE;
  }
  if (!unix_hash_matches(usable, text)) return ERROR_LOGON_FAILURE;
  return disabled ? ERROR_ACCOUNT_DISABLED : 0;
}

}  // namespace

DWORD system_logon(const AccountName* name, const std::string* password) {
  prepare_unix_dummy();  // made now if need be, before any path can differ in cost
  std::string hash;
  bool known = false;
  uid_t uid = 0;
  SystemFiles files;
  if (name != nullptr) {
    // A file that cannot be read is told apart from a refused password.
    if (const DWORD rc = files.open(false, false); rc != 0) return rc;
    if (const int at = find_entry(files.passwd, name->text); at >= 0) {
      hash = stored_hash(files, at);
      known = true;
      uid = entry_uid(files, at);
    }
  } else {
    files.options = system_options();
  }

  const LockoutPolicy policy = lockout_policy();
  if (policy.threshold == 0) return check_hash(hash, password);
  // An unknown name makes the same file work in the tally directory and never gets a file.
  TallyFile tally;
  if (const DWORD rc =
          tally.open(tally_directory(files.options), name ? name->text : "", known, uid, true);
      rc != 0)
    return rc;
  const std::int64_t now = lockout_clock();
  const bool locked = tally.locked(now, policy);
  const DWORD checked = check_hash(hash, password);  // a locked account pays for it too
  // A locked account refuses every password, and its lock runs from the failure that set
  // it: attempts meanwhile are not recorded.
  if (locked) return ERROR_ACCOUNT_LOCKED_OUT;
  if (checked == ERROR_LOGON_FAILURE) {
    // A count that cannot be kept is told apart from a wrong password.
    if (const DWORD rc = tally.add_failure(now, policy); rc != 0) return rc;
    return checked;
  }
  // The right password starts the count again; the logon stands even if the file cannot
  // be emptied (the failures then still count, as if the logon had not happened).
  (void)tally.clear();
  return checked;
}

}  // namespace ostrel_posix
