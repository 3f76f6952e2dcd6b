// The check command: a password checked by a logon, answered with the account's attributes.
#include <cstring>
#include <memory>

#include "accounts/accounts.h"
#include "accounts/config_reply.h"
#include "log/log.h"
#include "service/service.h"

namespace {

struct TokenCloser {
  void operator()(void* token) const {
    if (token) CloseHandle(token);
  }
};
using LogonToken = std::unique_ptr<void, TokenCloser>;

// Clears the password word of the command, at the latest when the check returns.
struct PasswordWipe {
  char* word;
  ~PasswordWipe() { wipe(); }
  void wipe() {
    if (word) secure_wipe(word, std::strlen(word));
    word = nullptr;
  }
};

void reply_logon_failure(const char* user, DWORD code) {
  switch (code) {
    case ERROR_PRIVILEGE_NOT_HELD:
      reply_negative("-ERR Incorrect Privilege (Tarrow setup may be incorrect).");
      break;
    case ERROR_LOGON_FAILURE:
      reply_negative("-ERR %s does not exist or password incorrect.", user);
      break;
    default:
      reply_negative("-ERR %d:Unknown error has occurred.", static_cast<int>(code));
      break;
  }
}

void reply_read_failure(NET_API_STATUS code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      reply_negative("-ERR The user does not have access to the requested information.");
      break;
    case NERR_UserNotFound:
      reply_negative("-ERR That user does not exist.");
      break;
    case NERR_InvalidComputer:
      reply_negative("-ERR The computer name is invalid.");
      break;
    default:
      reply_negative("-ERR %d:Unknown error has occurred.", static_cast<int>(code));
      break;
  }
}

}  // namespace

int check_account(char* const* words, int index) {
  log_info("Performing Windows check");
  const char* user = words[index + 1];
  if (!user) return -1;
  PasswordWipe password{words[index + 2]};
  log_info("User (%s)", user);

  const WideBuffer wide_user = to_wide(user);
  if (!wide_user) {
    report_conversion_error();
    return 0;
  }
  if (!password.word) {
    reply_negative("-ERR User %s does not exist or password incorrect.", user);
    return 1;
  }
  log_debug("Pass = xxxx");
  WideBuffer wide_password = to_wide(password.word);
  if (!wide_password) {
    report_conversion_error();
    return 0;
  }

  const WideBuffer host = resolve_host();
  if (!host) {
    reply_negative(
        "-DEAD database failure (can't get hostname needed for login - check host setting in "
        "ini file)");
    return 0;
  }

  HANDLE raw_token = nullptr;
  const BOOL logged_on =
      LogonUserW(wide_user.get(), host.get(), wide_password.get(), LOGON32_LOGON_INTERACTIVE,
                 LOGON32_PROVIDER_DEFAULT, &raw_token);
  // A BOOL: any nonzero value is success, and only a failure leaves a code to read.
  const DWORD logon_error = logged_on != FALSE ? 0 : GetLastError();
  const LogonToken token(logged_on ? raw_token : nullptr);
  // The password has done its work: clear both copies before anything else runs.
  wide_password.reset();
  password.wipe();

  if (logged_on == FALSE) {
    reply_logon_failure(user, logon_error);
    log_debug("Failure.");
    return 0;
  }
  log_debug("Success.");

  // The account is read from the host that accepted the logon.
  LPBYTE buffer = nullptr;
  const NET_API_STATUS status = NetUserGetInfo(host.get(), wide_user.get(), 1, &buffer);
  const UserRecord record(reinterpret_cast<USER_INFO_1*>(buffer));
  if (status == NERR_Success) return reply_account_config(user, record.get());
  reply_read_failure(status);
  log_debug("Failure.");
  return 0;
}
