// The existence probe of the set command: can the account be read from the host?
#include "accounts/accounts.h"
#include "log/log.h"
#include "service/service.h"

int account_exists(const char* user, LPCWSTR wide_user) {
  WideBuffer own_copy;
  if (!wide_user) {
    if (!user) return 0;
    log_debug("Does user (%s) exist", user);
    own_copy = to_wide(user);
    if (!own_copy) {
      report_conversion_error();
      return 0;
    }
    wide_user = own_copy.get();
  }

  WideBuffer host = resolve_host();
  LPBYTE buffer = nullptr;
  const NET_API_STATUS code = NetUserGetInfo(host.get(), wide_user, 1, &buffer);
  UserRecord record(reinterpret_cast<USER_INFO_1*>(buffer));
  switch (code) {
    case NERR_Success:
      return 1;
    case ERROR_ACCESS_DENIED:
      reply_negative("-ERR The user does not have access to the requested information.");
      break;
    case NERR_InvalidComputer:
      reply_negative("-ERR The computer name is invalid.");
      break;
    default:
      reply_negative("-ERR %d:Unknown error occurred.", static_cast<int>(code));
      break;
  }
  return 0;
}
