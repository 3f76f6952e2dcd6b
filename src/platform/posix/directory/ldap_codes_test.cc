#include "platform/posix/directory/ldap_codes.h"

#include <gtest/gtest.h>
#include <ldap.h>

namespace ostrel_posix {
namespace {

TEST(DirectoryCodesTest, EveryResultHasItsWindowsCode) {
  using C = DirectoryCall;
  const struct {
    int ldap;
    C call;
    DWORD code;
  } cases[] = {
      {LDAP_SUCCESS, C::kAccount, NERR_Success},
      {LDAP_ALREADY_EXISTS, C::kAccount, NERR_UserExists},
      {LDAP_NO_SUCH_OBJECT, C::kAccount, NERR_UserNotFound},
      {LDAP_NO_SUCH_OBJECT, C::kGroup, NERR_GroupNotFound},
      {LDAP_NO_SUCH_OBJECT, C::kMemberAdd, NERR_GroupNotFound},
      {LDAP_INSUFFICIENT_ACCESS, C::kAccount, ERROR_ACCESS_DENIED},
      {LDAP_AUTH_METHOD_NOT_SUPPORTED, C::kAccount, ERROR_ACCESS_DENIED},
      {LDAP_CONFIDENTIALITY_REQUIRED, C::kAccount, ERROR_ACCESS_DENIED},
      {LDAP_INAPPROPRIATE_AUTH, C::kAccount, ERROR_ACCESS_DENIED},
      {LDAP_UNWILLING_TO_PERFORM, C::kAccount, ERROR_ACCESS_DENIED},
      {LDAP_INVALID_CREDENTIALS, C::kAccount, ERROR_LOGON_FAILURE},
      {LDAP_CONSTRAINT_VIOLATION, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_INVALID_SYNTAX, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_UNDEFINED_TYPE, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_OBJECT_CLASS_VIOLATION, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_NAMING_VIOLATION, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_INVALID_DN_SYNTAX, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_FILTER_ERROR, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_PARAM_ERROR, C::kAccount, ERROR_INVALID_PARAMETER},
      {LDAP_PARAM_ERROR, C::kInitialize, NERR_InvalidComputer},
      {LDAP_SERVER_DOWN, C::kAccount, ERROR_BAD_NETPATH},
      {LDAP_CONNECT_ERROR, C::kAccount, ERROR_BAD_NETPATH},
      {LDAP_TIMEOUT, C::kAccount, ERROR_BAD_NETPATH},
      {LDAP_BUSY, C::kAccount, ERROR_BAD_NETPATH},
      {LDAP_UNAVAILABLE, C::kAccount, ERROR_BAD_NETPATH},
      {LDAP_TYPE_OR_VALUE_EXISTS, C::kMemberAdd, ERROR_MEMBER_IN_ALIAS},
      {LDAP_TYPE_OR_VALUE_EXISTS, C::kAccount, NERR_InternalError},
      {LDAP_REFERRAL, C::kAccount, NERR_InternalError},
      {LDAP_SIZELIMIT_EXCEEDED, C::kAccount, NERR_InternalError},
      {LDAP_OTHER, C::kAccount, NERR_InternalError},
      {LDAP_NO_MEMORY, C::kAccount, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const auto& c : cases)
    EXPECT_EQ(directory_code(c.ldap, c.call), c.code)
        << c.ldap << " for call " << static_cast<int>(c.call);
}

}  // namespace
}  // namespace ostrel_posix
