// The password policy of the backends Ostrel writes itself (store, host accounts,
// directory), with the meaning of Windows' local policy: a minimum length, complexity, the
// history of an account's former passwords and a list of breached passwords. A refusal is
// NERR_PasswordTooShort, the one code Windows gives for all of them; the program's reporter
// hears which rule refused (never the password). The domain keeps its own policy.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/common/backend.h"

namespace ostrel_posix {

struct PasswordPolicy {
  unsigned min_length = 0;  // in characters (code points); 0: any length
  bool complexity = false;  // three of four kinds of character, not the account's name
  unsigned history = 0;     // the current password and the ones before it that may not
                            // come back, counted together; 0: none is remembered
  std::string deny_list;    // sorted "HEX40[:count]" lines of SHA-1 hashes; empty: none
};

/// The policy last set (none before platform_set_password_policy).
PasswordPolicy password_policy();

/// Checks a new password of the account by the rules every backend but the domain shares
/// (length, complexity, deny list): 0, NERR_PasswordTooShort (reported), or for a deny
/// list that cannot be used ERROR_BAD_CONFIGURATION (reported as a refused file) or
/// ERROR_IO_DEVICE.
DWORD check_password_policy(const AccountName& name, std::string_view password);

/// Reports that the account's new password was refused by rule, and returns
/// NERR_PasswordTooShort.
DWORD refuse_password(std::string_view account, const std::string& rule);

/// The reason of a refusal by the history: "one of the last N passwords".
std::string history_rule(unsigned history);

/// Why the password does not meet Windows' complexity rule for the account name, or null
/// when it does: three of upper case, lower case, digits and other characters (every
/// character beyond ASCII counts as other), and neither the whole name (of three
/// characters or more) nor a part of three or more of its local part (split at . , - _ #
/// blanks and tabs, as Windows splits a display name; a mail address's local part is the
/// text before its '@') in it, compared without case.
const char* complexity_failure(std::string_view name, std::string_view password);

/// Looks up a SHA-1 digest (20 bytes) in the sorted list at path by binary search over
/// the file, reading a few hundred bytes a step: 0 with listed set, or
/// ERROR_BAD_CONFIGURATION (reported as a refused file: missing, untrusted, or not such a
/// list), ERROR_IO_DEVICE.
DWORD deny_list_lookup(const std::string& path, const unsigned char* digest, bool& listed);

}  // namespace ostrel_posix
