// The positive answer that check and lookup share.
#pragma once

#include "accounts/accounts.h"

/// Writes "+OK <user> config 0" followed by the account's attribute text when it has one.
/// Returns 1 when written; 0 when the attribute text could not be made, whose negative
/// reply is then the command's only answer.
int reply_account_config(const char* user, const USER_INFO_1* record);
