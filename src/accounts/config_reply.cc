#include "accounts/config_reply.h"

#include "service/service.h"

int reply_account_config(const char* user, const USER_INFO_1* record) {
  char text[kMessageBuffer];
  if (format_account_attributes(record, user, text)) {
    reply_positive_parts({"+OK ", user, " config 0 ", text});
    return 1;
  }
  reply_positive_parts({"+OK ", user, " config 0"});
  return 1;
}
