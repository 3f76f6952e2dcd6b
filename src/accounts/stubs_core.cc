// Temporary stand-ins until the account code lands; removed function by function.
#include "accounts/accounts.h"

void WideDeleter::operator()(WCHAR* p) const { delete[] p; }
WideBuffer to_wide(const char*) { return nullptr; }
int to_narrow(LPCWSTR, char*) { return 0; }
WideBuffer resolve_host() { return nullptr; }
void report_conversion_error() {}
int report_bad_parameter(DWORD) { return 0; }
int apply_account_attributes(USER_INFO_1*, char* const*, int, AttributeBuffers&) { return 0; }
HeapText format_account_attributes(const USER_INFO_1*) { return nullptr; }
const char* attribute_value(const char*) { return nullptr; }
int probe_home_directory(const char*) { return 0; }
int create_directory_chain(const char*) { return 0; }
const char* ensure_trailing_backslash(const char* path) { return path; }
int check_account(char* const*, int) { return 0; }
int lookup_account(char* const*, int) { return 0; }
int delete_account(char* const*, int) { return 0; }
