// pam_ostrel.so: mail servers check passwords through Ostrel. Each call reads the
// settings, opens the log and logs on through the same LogonUserW as the check command
// (lockout, equal-cost refusals, hash renewal, every backend). This is the module's core,
// pam_ostrel_core.so, which the loader pam_ostrel.so opens; only the two entry points
// leave it, and nothing is written to the host's standard output or error.
#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "accounts/accounts.h"
#include "log/log.h"
#include "pam/host_syslog.h"
#include "pam/hosted_run.h"
#include "pam/pam_results.h"

#define OSTREL_PAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The logon code of an accepted password, kept in the PAM handle for the account step.
constexpr const char* kLogonCodeData = "ostrel_logon_code";

// Ostrel's state is the process's: one call at a time, whatever threads the host runs.
std::mutex call_mutex;

struct ModuleArgs {
  std::string directory = OSTREL_PAM_SETTINGS_DIR;
};

// path=<directory>: where ostrel.ini is read, as "ostrel path <directory>" reads it.
bool parse_args(pam_handle_t* pamh, int argc, const char** argv, ModuleArgs& args) {
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg != nullptr && std::strncmp(arg, "path=", 5) == 0 && arg[5] != '\0') {
      args.directory = arg + 5;
    } else {
      syslog_error(pamh, "unknown argument: %s", arg ? arg : "(null)");
      return false;
    }
  }
  return true;
}

// The module's own copy of the password, wiped when it goes.
struct SecretCopy {
  std::unique_ptr<char[]> text;
  std::size_t size = 0;
  explicit SecretCopy(const char* token) : size(std::strlen(token) + 1) {
    text.reset(new char[size]);
    std::memcpy(text.get(), token, size);
  }
  ~SecretCopy() { secure_wipe(text.get(), size); }
  SecretCopy(const SecretCopy&) = delete;
  SecretCopy& operator=(const SecretCopy&) = delete;
};

// The logon code for user and password (wiped here) from source (null: none): 0, a
// refusal or an outage.
DWORD log_on(const char* user, SecretCopy& password, const char* source) {
  if (!protocol_can_carry(password.text.get())) {
    log_info("PAM password of %s holds a character the command protocol cannot carry", user);
    return ERROR_LOGON_FAILURE;
  }
  const WideBuffer wide_user = to_wide(user);
  if (!wide_user) return ERROR_LOGON_FAILURE;  // no account has a name that is not text
  WideBuffer host;
  DWORD code = 0;
  switch (log_on_with_password(wide_user.get(), password.text.get(), host, code, source)) {
    case LogonOutcome::accepted:
      return 0;
    case LogonOutcome::bad_password_text:
      return ERROR_LOGON_FAILURE;
    case LogonOutcome::no_host:
      log_error("PAM cannot get the host name (check the host setting)");
      return ERROR_BAD_NETPATH;
    case LogonOutcome::refused:
      break;
  }
  return code;
}

void forget_code(pam_handle_t*, void* data, int) {
  delete static_cast<DWORD*>(data);
}

const char* service_of(pam_handle_t* pamh) {
  const void* item = nullptr;
  if (pam_get_item(pamh, PAM_SERVICE, &item) != PAM_SUCCESS || item == nullptr) return "";
  return static_cast<const char*>(item);
}

// The client's address as the mail server gave it, or null when it gave none.
const char* remote_host_of(pam_handle_t* pamh) {
  const void* item = nullptr;
  if (pam_get_item(pamh, PAM_RHOST, &item) != PAM_SUCCESS || item == nullptr) return nullptr;
  const char* host = static_cast<const char*>(item);
  return *host != '\0' ? host : nullptr;
}

int settings_unavailable(pam_handle_t* pamh, const ModuleArgs& args) {
  syslog_error(pamh, "no Ostrel settings or log can be opened from %s", args.directory.c_str());
  return PAM_AUTHINFO_UNAVAIL;
}

int authenticate(pam_handle_t* pamh, int argc, const char** argv) {
  ModuleArgs args;
  if (!parse_args(pamh, argc, argv, args)) return PAM_AUTHINFO_UNAVAIL;
  const char* user = nullptr;
  if (const int rc = pam_get_user(pamh, &user, nullptr); rc != PAM_SUCCESS) return rc;
  if (user == nullptr || *user == '\0') return PAM_AUTH_ERR;
  const char* token = nullptr;
  if (const int rc = pam_get_authtok(pamh, PAM_AUTHTOK, &token, nullptr); rc != PAM_SUCCESS)
    return rc;
  if (token == nullptr) return PAM_AUTH_ERR;
  SecretCopy password(token);

  const std::lock_guard<std::mutex> lock(call_mutex);
  const HostedRun run(args.directory.c_str());
  if (!run.ready()) return settings_unavailable(pamh, args);
  log_info("PAM login of %s for %s", user, service_of(pamh));
  const DWORD code = log_on(user, password, remote_host_of(pamh));
  const int result = authenticate_result(code);
  if (result == PAM_AUTHINFO_UNAVAIL) {
    log_error("PAM login of %s: the accounts cannot be read (%lu), answered unavailable", user,
              static_cast<unsigned long>(code));
    syslog_error(pamh, "the accounts cannot be read (%lu)", static_cast<unsigned long>(code));
  } else if (result == PAM_AUTH_ERR) {
    log_info("PAM login of %s refused (%lu)", user, static_cast<unsigned long>(code));
  } else {
    log_info("PAM login of %s accepted%s", user, code == 0 ? "" : ", for the account step");
    auto* kept = new DWORD(code);
    if (pam_set_data(pamh, kLogonCodeData, kept, forget_code) != PAM_SUCCESS) {
      delete kept;
      return PAM_AUTHINFO_UNAVAIL;  // the account step could not tell a disabled account
    }
  }
  return result;
}

// The account step without a password checked in this handle: the account as read.
int account_as_read(pam_handle_t* pamh, const char* user, const ModuleArgs& args) {
  const std::lock_guard<std::mutex> lock(call_mutex);
  const HostedRun run(args.directory.c_str());
  if (!run.ready()) return settings_unavailable(pamh, args);
  const WideBuffer wide_user = to_wide(user);
  const WideBuffer host = resolve_host();
  if (!wide_user || !host) return PAM_USER_UNKNOWN;
  LPBYTE buffer = nullptr;
  const NET_API_STATUS status = NetUserGetInfo(host.get(), wide_user.get(), 1, &buffer);
  const UserRecord record(reinterpret_cast<USER_INFO_1*>(buffer));
  if (status == NERR_UserNotFound) return PAM_USER_UNKNOWN;
  if (status != NERR_Success) {
    log_error("PAM account step of %s: the accounts cannot be read (%lu)", user,
              static_cast<unsigned long>(status));
    return PAM_AUTHINFO_UNAVAIL;
  }
  const bool disabled = (record->usri1_flags & UF_ACCOUNTDISABLE) != 0;
  log_info("PAM account step of %s: %s", user, disabled ? "disabled" : "usable");
  return disabled ? PAM_PERM_DENIED : PAM_SUCCESS;
}

int account(pam_handle_t* pamh, int argc, const char** argv) {
  ModuleArgs args;
  if (!parse_args(pamh, argc, argv, args)) return PAM_AUTHINFO_UNAVAIL;
  const char* user = nullptr;
  if (const int rc = pam_get_user(pamh, &user, nullptr); rc != PAM_SUCCESS) return rc;
  if (user == nullptr || *user == '\0') return PAM_USER_UNKNOWN;
  const void* data = nullptr;
  if (pam_get_data(pamh, kLogonCodeData, &data) != PAM_SUCCESS || data == nullptr)
    return account_as_read(pamh, user, args);
  const DWORD code = *static_cast<const DWORD*>(data);
  const int result = account_result(code);
  if (result != PAM_SUCCESS) {
    const std::lock_guard<std::mutex> lock(call_mutex);
    const HostedRun run(args.directory.c_str());
    log_info("PAM account step of %s refused (%lu)", user, static_cast<unsigned long>(code));
  }
  return result;
}

}  // namespace

// No exception may cross into the C caller: one that escapes is a set-up failure. The
// loader (pam_loader.cc) calls these for PAM's pam_sm_authenticate and pam_sm_acct_mgmt.
OSTREL_PAM_EXPORT int ostrel_pam_authenticate(pam_handle_t* pamh, int, int argc,
                                              const char** argv) {
  try {
    return authenticate(pamh, argc, argv);
  } catch (...) {
    return PAM_AUTHINFO_UNAVAIL;
  }
}

OSTREL_PAM_EXPORT int ostrel_pam_acct_mgmt(pam_handle_t* pamh, int, int argc, const char** argv) {
  try {
    return account(pamh, argc, argv);
  } catch (...) {
    return PAM_AUTHINFO_UNAVAIL;
  }
}
