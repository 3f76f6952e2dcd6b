// Ostrel's own platform functions on Windows. The account, logon, registry and code page
// calls are the system's own (windows.h, lm.h); only these small helpers live here.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

void platform_start_single_threaded_program() {
  // The system's own calls need nothing set.
}

void platform_set_account_db(const char*) {
  // Accounts live in the system's own account database; there is no store file to name.
}

void platform_set_directory_options(const char*, const char*, const char*) {
  // Accounts are the system's; no directory is reached from here.
}

void platform_set_tls_ca_file(const char*) {
  // A domain is reached through the system's own calls.
}

void platform_set_system_options(const PlatformSystemOptions&) {
  // The host's accounts are reached through the system's own calls.
}

void platform_set_logon_source(const char*) {}

LogonRefusal platform_last_logon_refusal() {
  return LogonRefusal::kNone;
}

void platform_set_lockout_policy(const PlatformLockoutPolicy&) {
  // The host's own lockout policy counts wrong passwords.
}

void platform_set_lockout_tally_dir(const char*) {}

void platform_set_password_policy(const PlatformPasswordPolicy&) {
  // The host's own password policy applies.
}

void platform_set_password_reporter(void (*)(const char*, const char*)) {}

void secure_wipe(void* data, std::size_t size) {
  if (data != nullptr && size > 0) SecureZeroMemory(data, size);
}

int make_directory(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // The runtime maps the system error to errno (EEXIST, EACCES, ENOENT...).
  return _mkdir(path) == 0 ? 0 : -1;
}

void platform_set_home_owner(const char*) {}

int remove_file(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return _unlink(path) == 0 ? 0 : -1;
}

int current_process_id() {
  return static_cast<int>(GetCurrentProcessId());
}

std::FILE* create_file_exclusive(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  // The runtime's fopen does not know the "x" mode on every Windows version: create the
  // file with O_EXCL, then wrap the descriptor in a text-mode stream.
  int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* stream = _fdopen(fd, "w");
  if (stream == nullptr) {
    // The file is ours: do not leave it behind when no stream could be made for it.
    int saved = errno;
    _close(fd);
    _unlink(path);
    errno = saved;
  }
  return stream;
}

void platform_set_file_reporter(void (*)(const char*, const char*)) {}

std::FILE* open_trusted_file(const char* path, const char* mode, const char** refusal) {
  // Who may change a file is the business of its access control list.
  if (refusal != nullptr) *refusal = nullptr;
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return std::fopen(path, mode);
}

NET_API_STATUS platform_replace_user(LPCWSTR server, USER_INFO_1* record, LPDWORD parm_err,
                                     NET_API_STATUS* removal_status) {
  // The system has no call that replaces an account: remove it, then add the record.
  const NET_API_STATUS removal =
      NetUserDel(server, record != nullptr ? record->usri1_name : nullptr);
  if (removal_status != nullptr) *removal_status = removal;
  if (removal != NERR_Success) return removal;
  return NetUserAdd(server, 1, reinterpret_cast<LPBYTE>(record), parm_err);
}
