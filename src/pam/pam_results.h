// What the PAM module answers: the platform's logon codes as PAM results, and the
// passwords the command protocol can carry.
#pragma once

#include "platform/platform.h"

/// pam_sm_authenticate's result for a logon code: PAM_SUCCESS for 0 and for the refusals
/// that come only after the right password (disabled, expired, password to change: the
/// account step answers those), PAM_AUTH_ERR for a wrong password, an unknown name and a
/// locked account, PAM_AUTHINFO_UNAVAIL for anything else (the accounts cannot be read).
int authenticate_result(DWORD logon_code);

/// pam_sm_acct_mgmt's result for a logon code of an accepted password: PAM_SUCCESS,
/// PAM_PERM_DENIED (disabled), PAM_ACCT_EXPIRED, PAM_NEW_AUTHTOK_REQD (expired or must
/// change).
int account_result(DWORD logon_code);

/// True for a logon code that says the accounts could not be read, not a refusal.
bool is_outage(DWORD logon_code);

/// False for a password no account checked through Ostrel can have: the command protocol
/// cannot carry a double quote (it groups words), a carriage return or a line feed (they
/// end the line), so neither set nor check ever sees one.
bool protocol_can_carry(const char* password);
