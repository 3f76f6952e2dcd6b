#include "accounts/config_reply.h"

#include "service/service.h"

int reply_account_config(const char* user, const USER_INFO_1* record) {
  char text[kMessageBuffer];
  if (format_account_attributes(record, user, text)) {
    reply_positive("+OK %s config 0 %s", user, text);
    return 1;
  }
  reply_positive("+OK %s config 0", user);
  return 1;
}
