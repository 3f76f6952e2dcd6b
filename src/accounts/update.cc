// The update half of the set command: rewrites the attributes of an existing account and
// leaves its password as it is.
#include "accounts/accounts.h"
#include "accounts/set_replies.h"
#include "log/log.h"
#include "service/service.h"

int update_account(char* const* words, int index) {
  log_info("Performing update");
  const char* user = words[index + 1];
  if (!user) return -1;
  WideBuffer wide_user = to_wide(user);
  if (!wide_user) {
    report_conversion_error();
    return 0;
  }

  WideBuffer host = resolve_host();
  LPBYTE buffer = nullptr;
  const NET_API_STATUS read = NetUserGetInfo(host.get(), wide_user.get(), 1, &buffer);
  UserRecord record(reinterpret_cast<USER_INFO_1*>(buffer));
  if (read != NERR_Success) {
    reply_read_refused(read);
    return 0;
  }
  if (!record) {
    reply_read_refused(NERR_UserNotFound);
    return 0;
  }

  // The attribute words follow the password word; without one there are none to read.
  const int last = words[index + 2] ? index + 2 : index + 1;
  AttributeBuffers owned;
  if (!apply_account_attributes(record.get(), words, last, owned)) return 0;

  // An administrator's set unlocks an account that wrong passwords locked: the flag can
  // only be cleared, never set.
  record->usri1_flags &= ~static_cast<DWORD>(UF_LOCKOUT);
  DWORD parm_index = 0;
  const NET_API_STATUS written = NetUserSetInfo(
      host.get(), wide_user.get(), 1, reinterpret_cast<LPBYTE>(record.get()), &parm_index);
  if (written != NERR_Success) {
    reply_write_refused(written, parm_index);
    return 0;
  }
  reply_positive("+OK User %s added to database.", user);
  return 1;
}
