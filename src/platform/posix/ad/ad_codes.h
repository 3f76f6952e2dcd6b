// A domain controller's answers as the Windows codes its own interfaces would give. The DC
// puts a Windows code in front of its diagnostic text ("0000052D: ...") and, for a refused
// bind, the logon's own code after "data " ("... data 52e, v4563"); the LDAP result code
// counts only where neither is there.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace ostrel_posix {

/// What the DC was asked, where one answer means different things.
enum class DomainCall {
  kAccount,    // an account's entry
  kGroup,      // a group's entry
  kMemberAdd,  // adding member values to a group
};

/// The code of the diagnostic's leading eight hex digits and colon, and the code after
/// "data " (hex); each false when the text has none.
bool diagnostic_code(std::string_view diagnostic, DWORD& code);
bool diagnostic_data(std::string_view diagnostic, DWORD& data);

/// The Windows code of a management answer (0 stays 0).
DWORD domain_code(int ldap_result, std::string_view diagnostic, DomainCall call);

/// The LogonUserW code of a simple bind's answer (0 stays 0).
DWORD domain_logon_code(int ldap_result, std::string_view diagnostic);

}  // namespace ostrel_posix
