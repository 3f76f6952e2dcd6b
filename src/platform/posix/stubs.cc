// Temporary stand-ins until the POSIX platform layer lands; removed function by function.
#include "platform/platform.h"

void platform_set_account_db(const char*) {}
void secure_wipe(void*, std::size_t) {}
int make_directory(const char*) { return -1; }
int remove_file(const char*) { return -1; }
int current_process_id() { return 0; }
std::FILE* create_file_exclusive(const char*) { return nullptr; }
int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int) { return 0; }
int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL) { return 0; }
DWORD GetLastError() { return 0; }
void SetLastError(DWORD) {}
UINT GetSystemDirectoryW(LPWSTR, UINT) { return 0; }
LONG RegCreateKeyW(HKEY, LPCWSTR, PHKEY) { return 2; }
LONG RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return 2; }
LONG RegCloseKey(HKEY) { return 0; }
NET_API_STATUS NetUserAdd(LPCWSTR, DWORD, LPBYTE, LPDWORD) { return 5; }
NET_API_STATUS NetUserSetInfo(LPCWSTR, LPCWSTR, DWORD, LPBYTE, LPDWORD) { return 5; }
NET_API_STATUS NetUserGetInfo(LPCWSTR, LPCWSTR, DWORD, LPBYTE*) { return 5; }
NET_API_STATUS NetUserEnum(LPCWSTR, DWORD, DWORD, LPBYTE*, DWORD, LPDWORD, LPDWORD, PDWORD) {
  return 5;
}
NET_API_STATUS NetUserDel(LPCWSTR, LPCWSTR) { return 5; }
NET_API_STATUS NetLocalGroupAddMembers(LPCWSTR, LPCWSTR, DWORD, LPBYTE, DWORD) { return 5; }
NET_API_STATUS NetApiBufferFree(LPVOID) { return 0; }
BOOL LogonUserW(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, DWORD, PHANDLE) { return FALSE; }
BOOL CloseHandle(HANDLE) { return TRUE; }
void platform_inject_fault(const char*, DWORD, DWORD) {}
void platform_clear_faults() {}
void platform_set_hash_limits_for_tests(unsigned long long, std::size_t) {}
void platform_close_store() {}
