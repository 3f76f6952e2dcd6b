#include "pam/pam_results.h"

#include <security/_pam_types.h>

#include <cstring>

int authenticate_result(DWORD logon_code) {
  switch (logon_code) {
    case 0:
    case ERROR_ACCOUNT_DISABLED:
    case ERROR_ACCOUNT_EXPIRED:
    case ERROR_PASSWORD_EXPIRED:
    case ERROR_PASSWORD_MUST_CHANGE:
      return PAM_SUCCESS;
    case ERROR_LOGON_FAILURE:
    case ERROR_ACCOUNT_LOCKED_OUT:
      return PAM_AUTH_ERR;
    default:
      return PAM_AUTHINFO_UNAVAIL;
  }
}

int account_result(DWORD logon_code) {
  switch (logon_code) {
    case 0:
      return PAM_SUCCESS;
    case ERROR_ACCOUNT_EXPIRED:
      return PAM_ACCT_EXPIRED;
    case ERROR_PASSWORD_EXPIRED:
    case ERROR_PASSWORD_MUST_CHANGE:
      return PAM_NEW_AUTHTOK_REQD;
    default:
      return PAM_PERM_DENIED;
  }
}

bool is_outage(DWORD logon_code) {
  return authenticate_result(logon_code) == PAM_AUTHINFO_UNAVAIL;
}

bool protocol_can_carry(const char* password) {
  return password != nullptr && std::strpbrk(password, "\"\r\n") == nullptr;
}
