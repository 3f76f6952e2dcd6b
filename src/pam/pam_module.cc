// pam_ostrel.so: mail servers check passwords through Ostrel. Each call reads the
// settings, opens the log and logs on through the same LogonUserW as the check command
// (lockout, equal-cost refusals, hash renewal, every backend). This is the module's core,
// pam_ostrel_core.so, which the loader pam_ostrel.so opens; only the two entry points
// leave it, and nothing is written to the host's standard output or error.
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <unistd.h>

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

// What a login came to, for the login line and the system log.
enum class Outcome {
  accepted,
  wrong_password,
  repeated_password,
  unknown_name,
  throttled_source,
  locked_account,
  unavailable
};

struct LoginResult {
  DWORD code = 0;  // the logon code: 0, a refusal or an outage
  Outcome outcome = Outcome::accepted;
};

// The outcome of a refusal by LogonUserW, as the platform tells it; by the code where it
// does not say.
Outcome refusal_outcome(DWORD code) {
  switch (platform_last_logon_refusal()) {
    case LogonRefusal::kWrongPassword:
      return Outcome::wrong_password;
    case LogonRefusal::kRepeatedPassword:
      return Outcome::repeated_password;
    case LogonRefusal::kUnknownName:
      return Outcome::unknown_name;
    case LogonRefusal::kThrottledSource:
      return Outcome::throttled_source;
    case LogonRefusal::kLockedAccount:
      return Outcome::locked_account;
    case LogonRefusal::kNone:
    case LogonRefusal::kUnavailable:
      break;
  }
  return code == ERROR_ACCOUNT_LOCKED_OUT ? Outcome::locked_account : Outcome::wrong_password;
}

// The logon of user with password (wiped here) from source (null: none).
LoginResult log_on(const char* user, SecretCopy& password, const char* source) {
  // Neither refusal reaches an account: no account can have such a password or name.
  if (!protocol_can_carry(password.text.get()))
    return {ERROR_LOGON_FAILURE, Outcome::wrong_password};
  const WideBuffer wide_user = to_wide(user);
  if (!wide_user) return {ERROR_LOGON_FAILURE, Outcome::unknown_name};
  WideBuffer host;
  DWORD code = 0;
  switch (log_on_with_password(wide_user.get(), password.text.get(), host, code, source)) {
    case LogonOutcome::accepted:
      return {0, Outcome::accepted};
    case LogonOutcome::bad_password_text:
      return {ERROR_LOGON_FAILURE, Outcome::wrong_password};
    case LogonOutcome::no_host:
      log_debug("PAM cannot get the host name (check the host setting)");
      return {ERROR_BAD_NETPATH, Outcome::unavailable};
    case LogonOutcome::refused:
      break;
  }
  const int result = authenticate_result(code);
  if (result == PAM_SUCCESS) return {code, Outcome::accepted};  // the account step refuses
  if (result != PAM_AUTH_ERR) return {code, Outcome::unavailable};
  return {code, refusal_outcome(code)};
}

// Text from the client or the host as one word of a log line: blanks, control characters,
// DEL and the backslash become \xHH, so that no field can end early, forge another or
// break the line; at most limit bytes of it are shown, then "...".
std::string log_word(const char* text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string word;
  std::size_t used = 0;
  for (; text[used] != '\0' && used < limit; ++used) {
    const auto byte = static_cast<unsigned char>(text[used]);
    if (byte <= 0x20 || byte == 0x7f || byte == '\\') {
      word += "\\x";
      word += kHex[byte >> 4];
      word += kHex[byte & 0xf];
    } else {
      word += static_cast<char>(byte);
    }
  }
  if (text[used] != '\0') {
    // A UTF-8 sequence the cut left incomplete is dropped.
    std::size_t lead = word.size();
    while (lead > 0 && (static_cast<unsigned char>(word[lead - 1]) & 0xc0) == 0x80) --lead;
    if (lead > 0 && static_cast<unsigned char>(word[lead - 1]) >= 0xc0) {
      const auto first = static_cast<unsigned char>(word[lead - 1]);
      const std::size_t length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : 2;
      if (word.size() - (lead - 1) < length) word.resize(lead - 1);
    }
    word += "...";
  }
  return word;
}

// The longest user name, source and service shown: a line stays whole within the log's
// message buffer.
constexpr std::size_t kUserShown = 256;
constexpr std::size_t kSourceShown = 128;
constexpr std::size_t kServiceShown = 64;

// What the login line says after "refused (" or as the outcome.
const char* outcome_text(Outcome outcome) {
  switch (outcome) {
    case Outcome::accepted:
      return "accepted";
    case Outcome::wrong_password:
      return "wrong password";
    case Outcome::repeated_password:
      return "repeated password";
    case Outcome::unknown_name:
      return "unknown name";
    case Outcome::throttled_source:
      return "throttled source";
    case Outcome::locked_account:
      return "locked account";
    case Outcome::unavailable:
      return "unavailable";
  }
  return "unavailable";
}

// The one line of a login in Ostrel's log. The source comes first after fixed words, so
// that a banning tool's pattern reads it before any text the client chose:
//   PAM login from SOURCE accepted: user=NAME service=SERVICE
//   PAM login from SOURCE accepted (CODE, for the account step): user=NAME service=SERVICE
//   PAM login from SOURCE refused (REASON): user=NAME service=SERVICE
//   PAM login from SOURCE unavailable (CODE): user=NAME service=SERVICE
// SOURCE is "(none)" without one. Refusals and outages are written at ERROR, the level
// that is in force whatever the settings say, so that every refusal reaches the log.
void log_login(const LoginResult& login, const char* user, const char* source,
               const char* service) {
  const std::string who = log_word(user, kUserShown);
  const std::string from = source != nullptr ? log_word(source, kSourceShown) : "(none)";
  const std::string by = log_word(service, kServiceShown);
  const auto code = static_cast<unsigned long>(login.code);
  switch (login.outcome) {
    case Outcome::accepted:
      if (login.code == 0) {
        log_info("PAM login from %s accepted: user=%s service=%s", from.c_str(), who.c_str(),
                 by.c_str());
      } else {
        log_info("PAM login from %s accepted (%lu, for the account step): user=%s service=%s",
                 from.c_str(), code, who.c_str(), by.c_str());
      }
      return;
    case Outcome::unavailable:
      log_error("PAM login from %s unavailable (%lu): user=%s service=%s", from.c_str(), code,
                who.c_str(), by.c_str());
      return;
    default:
      log_error("PAM login from %s refused (%s): user=%s service=%s", from.c_str(),
                outcome_text(login.outcome), who.c_str(), by.c_str());
      return;
  }
}

const char* item_text(pam_handle_t* pamh, int item_type) {
  const void* item = nullptr;
  if (pam_get_item(pamh, item_type, &item) != PAM_SUCCESS || item == nullptr) return "";
  return static_cast<const char*>(item);
}

// A refusal in the system log's auth facility, in the words pam_unix uses, so that tools
// that read those (fail2ban's pam-generic filter) see logins through this module too.
void syslog_refusal(pam_handle_t* pamh, const char* user, const char* source) {
  syslog_notice(pamh,
                "authentication failure; logname= uid=%ld euid=%ld tty=%s ruser=%s rhost=%s "
                "user=%s",
                static_cast<long>(getuid()), static_cast<long>(geteuid()),
                log_word(item_text(pamh, PAM_TTY), kServiceShown).c_str(),
                log_word(item_text(pamh, PAM_RUSER), kUserShown).c_str(),
                source != nullptr ? log_word(source, kSourceShown).c_str() : "",
                log_word(user, kUserShown).c_str());
}

void forget_code(pam_handle_t*, void* data, int) {
  delete static_cast<DWORD*>(data);
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
  const char* source = remote_host_of(pamh);
  const LoginResult login = log_on(user, password, source);
  log_login(login, user, source, item_text(pamh, PAM_SERVICE));
  if (login.outcome == Outcome::unavailable) {
    syslog_error(pamh, "the accounts cannot be read (%lu)", static_cast<unsigned long>(login.code));
    return PAM_AUTHINFO_UNAVAIL;
  }
  if (login.outcome != Outcome::accepted) {
    syslog_refusal(pamh, user, source);
    return PAM_AUTH_ERR;
  }
  auto* kept = new DWORD(login.code);
  if (pam_set_data(pamh, kLogonCodeData, kept, forget_code) != PAM_SUCCESS) {
    delete kept;
    return PAM_AUTHINFO_UNAVAIL;  // the account step could not tell a disabled account
  }
  return PAM_SUCCESS;  // the account step answers a right password of a refused account
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
    log_error("PAM account step of %s: the accounts cannot be read (%lu)",
              log_word(user, kUserShown).c_str(), static_cast<unsigned long>(status));
    return PAM_AUTHINFO_UNAVAIL;
  }
  const bool disabled = (record->usri1_flags & UF_ACCOUNTDISABLE) != 0;
  log_info("PAM account step of %s: %s", log_word(user, kUserShown).c_str(),
           disabled ? "disabled" : "usable");
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
    log_info("PAM account step of %s refused (%lu)", log_word(user, kUserShown).c_str(),
             static_cast<unsigned long>(code));
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
