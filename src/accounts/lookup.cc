// The lookup command: an account's attributes, without a password.
#include "accounts/accounts.h"
#include "accounts/config_reply.h"
#include "log/log.h"
#include "service/service.h"

namespace {

// Codes that say the account store could not answer, not that the account is missing: a
// busy or broken store, a store that cannot be opened, read or written (permissions, a
// read-only file system, an I/O error, files moved under the process), or a host or
// directory that cannot be reached, a file refused as unsafe, must not pass for an absent account
// (a mail server would bounce mail for a real user).
bool store_could_not_answer(NET_API_STATUS status) {
  switch (status) {
    case ERROR_BUSY:
    case ERROR_FILE_CORRUPT:
    case NERR_InternalError:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_BAD_NETPATH:
    case RPC_S_SERVER_UNAVAILABLE:
    case ERROR_OPEN_FAILED:
    case ERROR_WRITE_PROTECT:
    case ERROR_IO_DEVICE:
    case ERROR_FILE_INVALID:
    case ERROR_DISK_FULL:
    case ERROR_BAD_CONFIGURATION:
      return true;
    default:
      return false;
  }
}

}  // namespace

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
  if (store_could_not_answer(status)) {
    reply_negative("-ERR %d:Unknown error has occurred.", static_cast<int>(status));
    return 0;
  }
  if (status != NERR_Success) {
    reply_negative("-ERR User %s not found.", user);
    return 0;
  }
  return reply_account_config(user, record.get());
}
