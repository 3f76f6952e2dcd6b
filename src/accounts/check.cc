// The check command: a password checked by a logon, answered with the account's attributes.
#include <cstring>
#include <memory>

#include "accounts/accounts.h"
#include "accounts/config_reply.h"
#include "log/log.h"
#include "service/service.h"

namespace {

// Clears the password word of the command when the check returns, unless the logon has
// taken it (and wiped it).
struct PasswordWipe {
  char* word;
  ~PasswordWipe() {
    if (word) secure_wipe(word, std::strlen(word));
  }
  char* release() {
    char* taken = word;
    word = nullptr;
    return taken;
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
  WideBuffer host;
  DWORD logon_error = 0;
  // The password word is wiped by the logon, on every path.
  const LogonOutcome outcome =
      log_on_with_password(wide_user.get(), password.release(), host, logon_error);
  if (outcome == LogonOutcome::bad_password_text) {
    SetLastError(logon_error);
    report_conversion_error();
    return 0;
  }
  if (outcome == LogonOutcome::no_host) {
    reply_negative(
        "-DEAD database failure (can't get hostname needed for login - check host setting in "
        "ini file)");
    return 0;
  }

  if (outcome == LogonOutcome::refused) {
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
