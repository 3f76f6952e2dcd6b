#include "pam/pam_results.h"

#include <gtest/gtest.h>
#include <security/_pam_types.h>

TEST(PamResults, LogonCodesAnswerAsThePamStepsMust) {
  struct Row {
    DWORD code;
    int authenticate;
    int account;
  };
  const Row rows[] = {
      {0, PAM_SUCCESS, PAM_SUCCESS},
      {ERROR_LOGON_FAILURE, PAM_AUTH_ERR, PAM_PERM_DENIED},
      {ERROR_ACCOUNT_LOCKED_OUT, PAM_AUTH_ERR, PAM_PERM_DENIED},
      {ERROR_ACCOUNT_DISABLED, PAM_SUCCESS, PAM_PERM_DENIED},
      {ERROR_ACCOUNT_EXPIRED, PAM_SUCCESS, PAM_ACCT_EXPIRED},
      {ERROR_PASSWORD_EXPIRED, PAM_SUCCESS, PAM_NEW_AUTHTOK_REQD},
      {ERROR_PASSWORD_MUST_CHANGE, PAM_SUCCESS, PAM_NEW_AUTHTOK_REQD},
      {ERROR_ACCESS_DENIED, PAM_AUTHINFO_UNAVAIL, PAM_PERM_DENIED},
      {ERROR_BUSY, PAM_AUTHINFO_UNAVAIL, PAM_PERM_DENIED},
      {ERROR_BAD_NETPATH, PAM_AUTHINFO_UNAVAIL, PAM_PERM_DENIED},
      {ERROR_FILE_CORRUPT, PAM_AUTHINFO_UNAVAIL, PAM_PERM_DENIED},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(authenticate_result(row.code), row.authenticate) << row.code;
    EXPECT_EQ(account_result(row.code), row.account) << row.code;
  }
  EXPECT_TRUE(protocol_can_carry("Pa55 word#'\\"));
  EXPECT_FALSE(protocol_can_carry("Pa\"55"));
  EXPECT_FALSE(protocol_can_carry("Pa55\n"));
  EXPECT_FALSE(protocol_can_carry(nullptr));
}
