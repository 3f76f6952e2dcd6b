// The lookup command: an account's attributes, without a password.
#include "accounts/accounts.h"
#include "accounts/config_reply.h"
#include "log/log.h"
#include "service/service.h"

int lookup_account(char* const* words, int index) {
  log_info("Performing lookup");
  const char* user = words[index + 1];
  if (!user) return -1;

  const WideBuffer wide_user = to_wide(user);
  if (!wide_user) {
    report_conversion_error();
    return 0;
  }
  // No host means the local computer.
  const WideBuffer host = resolve_host();
  LPBYTE buffer = nullptr;
  const NET_API_STATUS status = NetUserGetInfo(host.get(), wide_user.get(), 1, &buffer);
  const UserRecord record(reinterpret_cast<USER_INFO_1*>(buffer));
  if (status != NERR_Success) {
    reply_negative("-ERR User %s not found.", user);
    return 0;
  }
  return reply_account_config(user, record.get());
}
