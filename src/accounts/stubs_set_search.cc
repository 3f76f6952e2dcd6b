// Temporary stand-ins until the set and search commands land; removed function by function.
#include "accounts/accounts.h"

int add_account(char* const*, int) { return 0; }
int update_account(char* const*, int) { return 0; }
int account_exists(const char*, LPCWSTR) { return 0; }
int search_accounts(char* const*, int) { return 0; }
