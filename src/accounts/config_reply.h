// The positive answer that check and lookup share.
#pragma once

#include "accounts/accounts.h"

/// Writes "+OK <user> config 0" followed by the account's attribute text when it has one
/// (see format_account_attributes for the fields left out). Returns 1.
int reply_account_config(const char* user, const USER_INFO_1* record);
