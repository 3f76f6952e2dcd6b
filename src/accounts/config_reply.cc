#include "accounts/config_reply.h"

#include "service/service.h"

int reply_account_config(const char* user, const USER_INFO_1* record) {
  const HeapText text = format_account_attributes(record);
  if (text) {
    reply_positive("+OK %s config 0 %s", user, text.get());
    return 1;
  }
  const bool has_fields =
      record && (record->usri1_home_dir || record->usri1_comment || record->usri1_script_path);
  if (has_fields) return 0;  // the conversion failure has been answered
  reply_positive("+OK %s config 0", user);
  return 1;
}
