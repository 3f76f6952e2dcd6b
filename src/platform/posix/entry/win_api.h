// The Windows types, constants and functions the account code uses, declared for POSIX
// builds with the meaning Windows documents. Implemented in this folder: code page
// conversion (UTF-8 <-> UTF-16), the computer name through the registry calls, the
// system directory, and the account calls over the SQLite account store with argon2id
// password hashes.
#pragma once

#include <cstddef>
#include <cstdint>

typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef std::uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef BOOL* LPBOOL;
typedef unsigned char BYTE;
typedef BYTE* LPBYTE;
typedef void* LPVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef DWORD NET_API_STATUS;
typedef struct OstrelRegistryKey* HKEY;
typedef HKEY* PHKEY;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Result codes.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD NERR_Success = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_BAD_NETPATH = 53;
inline constexpr DWORD ERROR_INVALID_PASSWORD = 86;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_OPEN_FAILED = 110;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_INVALID_LEVEL = 124;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_FILE_INVALID = 1006;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr DWORD ERROR_IO_DEVICE = 1117;
inline constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr DWORD ERROR_LOGON_FAILURE = 1326;
inline constexpr DWORD ERROR_PASSWORD_EXPIRED = 1330;
inline constexpr DWORD ERROR_ACCOUNT_DISABLED = 1331;
inline constexpr DWORD ERROR_MEMBER_IN_ALIAS = 1378;
inline constexpr DWORD ERROR_NO_SUCH_MEMBER = 1387;
inline constexpr DWORD ERROR_INVALID_MEMBER = 1388;
inline constexpr DWORD ERROR_FILE_CORRUPT = 1392;
inline constexpr DWORD ERROR_BAD_CONFIGURATION = 1610;
inline constexpr DWORD ERROR_ACCOUNT_EXPIRED = 1793;
inline constexpr DWORD ERROR_PASSWORD_MUST_CHANGE = 1907;
inline constexpr DWORD ERROR_ACCOUNT_LOCKED_OUT = 1909;
inline constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr DWORD NERR_InternalError = 2140;
inline constexpr DWORD NERR_BadUsername = 2202;
inline constexpr DWORD NERR_BadPassword = 2203;
inline constexpr DWORD NERR_GroupNotFound = 2220;
inline constexpr DWORD NERR_UserNotFound = 2221;
inline constexpr DWORD NERR_GroupExists = 2223;
inline constexpr DWORD NERR_UserExists = 2224;
inline constexpr DWORD NERR_NotPrimary = 2226;
inline constexpr DWORD NERR_SpeGroupOp = 2234;
inline constexpr DWORD NERR_PasswordTooShort = 2245;
inline constexpr DWORD NERR_InvalidComputer = 2351;
inline constexpr DWORD NERR_LastAdmin = 2452;

// Account record values.
inline constexpr DWORD USER_PRIV_GUEST = 0;
inline constexpr DWORD USER_PRIV_USER = 1;
inline constexpr DWORD USER_PRIV_ADMIN = 2;
inline constexpr DWORD UF_SCRIPT = 0x0001;
inline constexpr DWORD UF_ACCOUNTDISABLE = 0x0002;
inline constexpr DWORD UF_LOCKOUT = 0x0010;
inline constexpr DWORD UF_TEMP_DUPLICATE_ACCOUNT = 0x0100;
inline constexpr DWORD UF_NORMAL_ACCOUNT = 0x0200;
inline constexpr DWORD UF_INTERDOMAIN_TRUST_ACCOUNT = 0x0800;
inline constexpr DWORD UF_WORKSTATION_TRUST_ACCOUNT = 0x1000;
inline constexpr DWORD UF_SERVER_TRUST_ACCOUNT = 0x2000;
inline constexpr DWORD UF_DONT_EXPIRE_PASSWD = 0x10000;
inline constexpr DWORD FILTER_NORMAL_ACCOUNT = 0x0002;
inline constexpr DWORD MAX_PREFERRED_LENGTH = 0xFFFFFFFFu;

// Code pages, logon and registry.
inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD LOGON32_LOGON_INTERACTIVE = 2;
inline constexpr DWORD LOGON32_LOGON_NETWORK = 3;
inline constexpr DWORD LOGON32_LOGON_BATCH = 4;
inline constexpr DWORD LOGON32_LOGON_SERVICE = 5;
inline constexpr DWORD LOGON32_LOGON_NETWORK_CLEARTEXT = 8;
inline constexpr DWORD LOGON32_PROVIDER_DEFAULT = 0;
inline constexpr DWORD REG_SZ = 1;
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))

struct USER_INFO_1 {
  LPWSTR usri1_name;
  LPWSTR usri1_password;
  DWORD usri1_password_age;
  DWORD usri1_priv;
  LPWSTR usri1_home_dir;
  LPWSTR usri1_comment;
  DWORD usri1_flags;
  LPWSTR usri1_script_path;
};
typedef USER_INFO_1* PUSER_INFO_1;
typedef USER_INFO_1* LPUSER_INFO_1;

struct LOCALGROUP_MEMBERS_INFO_3 {
  LPWSTR lgrmi3_domainandname;
};

// Code page conversion. On POSIX the ANSI code page is UTF-8, decoded strictly.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int text_length, LPWSTR wide,
                        int wide_units);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR text,
                        int text_bytes, LPCSTR default_char, LPBOOL used_default);
DWORD GetLastError();
void SetLastError(DWORD code);

// System directory (the install's sysconfdir) and the computer name (the host name).
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
LONG RegCreateKeyW(HKEY key, LPCWSTR sub_key, PHKEY result);
LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size);
LONG RegCloseKey(HKEY key);

// Network management over the account store (level 1 records; level 3 members). What the
// stand-in returns besides the documented codes:
// - a server other than this computer (its host name with or without two leading
//   backslashes, case-insensitive, or "localhost"; null or empty is this computer):
//   ERROR_BAD_NETPATH; a level other than the one supported: ERROR_INVALID_LEVEL;
// - a store that cannot be used: ERROR_ACCESS_DENIED (a file another user could have
//   planted or changed), ERROR_OPEN_FAILED (cannot be opened: permissions, no such
//   directory), ERROR_WRITE_PROTECT (read-only file system), ERROR_IO_DEVICE (I/O error),
//   ERROR_FILE_INVALID (moved or removed under the process), ERROR_BUSY (locked by another
//   process past the busy timeout), ERROR_NOT_ENOUGH_MEMORY, ERROR_DISK_FULL,
//   ERROR_FILE_CORRUPT (not an account store, or tables that cannot be read),
//   NERR_InternalError (any other database failure);
// - NetUserAdd and NetUserSetInfo refuse an empty password with NERR_PasswordTooShort (an
//   account is never opened by an empty password); a null password adds an account that
//   cannot log on, or keeps the stored hash;
// - NetUserGetInfo, NetUserSetInfo and NetUserDel answer a name no account can have with
//   NERR_UserNotFound;
// - NetUserEnum lists in name order; its total is the number of accounts in the store;
//   an unknown or finished resume handle gives ERROR_INVALID_PARAMETER.
NET_API_STATUS NetUserAdd(LPCWSTR server, DWORD level, LPBYTE buffer, LPDWORD parm_err);
NET_API_STATUS NetUserSetInfo(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE buffer,
                              LPDWORD parm_err);
NET_API_STATUS NetUserGetInfo(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE* buffer);
NET_API_STATUS NetUserEnum(LPCWSTR server, DWORD level, DWORD filter, LPBYTE* buffer,
                           DWORD preferred_length, LPDWORD entries_read, LPDWORD total_entries,
                           PDWORD resume_handle);
NET_API_STATUS NetUserDel(LPCWSTR server, LPCWSTR user);
NET_API_STATUS NetLocalGroupAddMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE buffer,
                                       DWORD count);
NET_API_STATUS NetApiBufferFree(LPVOID buffer);

// Logon: verifies the password against the stored argon2id hash. The domain must be null,
// "." or this computer (as for servers above). An unknown user, a foreign domain, an account
// without a password and a wrong password all fail with ERROR_LOGON_FAILURE at the cost of
// one verification; a disabled account with the right password with ERROR_ACCOUNT_DISABLED;
// a store that cannot be read with its store code (see above).
BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logon_type,
                DWORD logon_provider, PHANDLE token);
BOOL CloseHandle(HANDLE handle);

/// A process that only checks passwords and reads accounts (the PAM module) never creates
/// or sets up a store: a missing or empty store file is then a misconfiguration
/// (ERROR_BAD_CONFIGURATION), reported as a refused file.
void platform_set_store_reader(bool reader);

// ---- For tests only (POSIX stand-in) ------------------------------------------------------

/// The next call of the named function (e.g. "NetUserAdd", "RegQueryValueExW",
/// "MultiByteToWideChar") fails with code; for NetUserAdd and NetUserSetInfo the
/// parameter index is reported too. Each injected fault is used once.
void platform_inject_fault(const char* function_name, DWORD code, DWORD parm_index = 0);
void platform_clear_faults();

/// Lowers the argon2id cost for new hashes, so that tests can make many accounts quickly.
void platform_set_hash_limits_for_tests(unsigned long long opslimit, std::size_t memlimit);

/// Closes the store's connection; the next call opens the file named last.
void platform_close_store();

/// Closes every connection to the directory; the next call connects again.
void platform_close_directory();
