// The del command: removes an account.
#include "accounts/accounts.h"
#include "log/log.h"
#include "service/service.h"

int delete_account(char* const* words, int index) {
  log_info("Performing delete");
  const char* user = words[index + 1];
  if (!user) return -1;
  log_info("User (%s)", user);

  const WideBuffer wide_user = to_wide(user);
  if (!wide_user) {
    report_conversion_error();
    return 0;
  }
  // No host means the local computer.
  const WideBuffer host = resolve_host();
  const NET_API_STATUS status = NetUserDel(host.get(), wide_user.get());
  switch (status) {
    case NERR_Success:
      reply_positive("+OK Deleted user succesfully.");
      return 1;
    case ERROR_ACCESS_DENIED:
      reply_negative("-ERR The user does not have access to the requested information.");
      return 0;
    case NERR_UserNotFound:
      // A negative answer although it reads "+OK": it is logged as an error and counts as
      // the command's one negative reply.
      reply_negative("+OK User account not found.");
      return 0;
    case NERR_NotPrimary:
      reply_negative(
          "-ERR The operation is allowed only on the primary domain controller of the domain.");
      return 0;
    case NERR_InvalidComputer:
      reply_negative("-ERR The computer name is invalid.");
      return 0;
    default:
      reply_negative("-ERR %d:Unknown error occurred.", static_cast<int>(status));
      return 0;
  }
}
