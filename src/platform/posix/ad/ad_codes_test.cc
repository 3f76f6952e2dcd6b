#include "platform/posix/ad/ad_codes.h"

#include <gtest/gtest.h>
#include <ldap.h>

namespace ostrel_posix {
namespace {

TEST(DomainCodesTest, DiagnosticsGiveWindowsCodes) {
  const struct {
    int rc;
    const char* diagnostic;
    DomainCall call;
    DWORD expected;
  } rows[] = {
      {19, "0000052D: Constraint violation - check_password_restrictions: too short",
       DomainCall::kAccount, NERR_PasswordTooShort},
      {68, "00002071: samldb: Account name (sAMAccountName) 'x' already in use!",
       DomainCall::kAccount, NERR_UserExists},
      {68, "Entry CN=x already exists", DomainCall::kAccount, NERR_UserExists},
      {68, "", DomainCall::kMemberAdd, ERROR_MEMBER_IN_ALIAS},
      {32, "00002030: No such object", DomainCall::kAccount, NERR_UserNotFound},
      {32, "00002030: No such object", DomainCall::kMemberAdd, NERR_GroupNotFound},
      {32, "00000525: no such user", DomainCall::kMemberAdd, ERROR_NO_SUCH_MEMBER},
      {19, "00000056: wrong old password", DomainCall::kAccount, ERROR_INVALID_PASSWORD},
      {19, "0000202F: bad name", DomainCall::kAccount, NERR_BadUsername},
      {50, "00002098: Insufficient access", DomainCall::kAccount, ERROR_ACCESS_DENIED},
      {50, "", DomainCall::kAccount, ERROR_ACCESS_DENIED},
      {80, "00000057: pwdLastSet", DomainCall::kAccount, ERROR_INVALID_PARAMETER},
      {-1, "", DomainCall::kAccount, ERROR_BAD_NETPATH},
      {0, "0000052D: ignored", DomainCall::kAccount, 0},
  };
  for (const auto& row : rows)
    EXPECT_EQ(domain_code(row.rc, row.diagnostic, row.call), row.expected) << row.diagnostic;

  const struct {
    const char* data;
    DWORD expected;
  } logons[] = {{"52e", ERROR_LOGON_FAILURE},        {"533", ERROR_ACCOUNT_DISABLED},
                {"701", ERROR_ACCOUNT_EXPIRED},      {"532", ERROR_PASSWORD_EXPIRED},
                {"773", ERROR_PASSWORD_MUST_CHANGE}, {"775", ERROR_ACCOUNT_LOCKED_OUT},
                {"5", ERROR_LOGON_FAILURE},          {"", ERROR_LOGON_FAILURE}};
  for (const auto& row : logons) {
    const std::string text = std::string(
                                 "80090308: LdapErr: DSID-0C09041C, comment: "
                                 "AcceptSecurityContext error, data ") +
                             row.data + ", v4563";
    EXPECT_EQ(domain_logon_code(LDAP_INVALID_CREDENTIALS, text), row.expected) << row.data;
  }
  EXPECT_EQ(domain_logon_code(LDAP_INVALID_CREDENTIALS, "no code here"), ERROR_LOGON_FAILURE);
}

}  // namespace
}  // namespace ostrel_posix
