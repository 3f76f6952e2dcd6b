// LDAP results as the Windows codes the account code knows.
#pragma once

#include "platform/platform.h"

namespace ostrel_posix {

/// What the directory was asked, where one LDAP result means different things.
enum class DirectoryCall {
  kAccount,     // an account's entry
  kGroup,       // a group's entry
  kMemberAdd,   // adding member values to a group
  kInitialize,  // making the connection handle from the URI
};

/// The Windows code for an LDAP result code (0 stays 0).
DWORD directory_code(int ldap_result, DirectoryCall call);

}  // namespace ostrel_posix
