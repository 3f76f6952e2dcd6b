// The search command: lists the accounts whose names match a pattern, with their
// attributes, batch by batch through the enumeration's resume handle.
#include "accounts/accounts.h"
#include "log/log.h"
#include "service/service.h"

namespace {

constexpr DWORD kBatchBytes = 3200;

void reply_enumeration_refused(NET_API_STATUS code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      reply_negative("-ERR The user does not have access to the requested information.");
      break;
    case ERROR_INVALID_NAME:
    case NERR_InvalidComputer:
      reply_negative("-ERR The computer name is invalid.");
      break;
    default:
      reply_negative("-ERR %d:Unknown error occurred.", static_cast<int>(code));
      break;
  }
}

bool has_attributes(const USER_INFO_1& entry) {
  return entry.usri1_home_dir || entry.usri1_comment || entry.usri1_script_path;
}

// Lists the matching entries of one batch. Returns false when a name or an attribute
// text could not be converted (the negative reply has been written).
bool list_batch(const USER_INFO_1* entries, DWORD count, const char* pattern, int* listed) {
  char name[kLineBuffer];
  for (DWORD i = 0; i < count; ++i) {
    const USER_INFO_1& entry = entries[i];
    if (to_narrow(entry.usri1_name, name) == 0) {
      report_conversion_error();
      return false;
    }
    if (name_matches(pattern, name) != 1) continue;
    HeapText text = format_account_attributes(&entry);
    if (!text && has_attributes(entry)) return false;  // a field could not be converted
    if (text) {
      reply_positive("+DATA %s %s", name, text.get());
    } else {
      reply_positive("+DATA %s", name);
    }
    ++*listed;
  }
  return true;
}

}  // namespace

int search_accounts(char* const* words, int index) {
  log_info("Performing search");
  const char* pattern = words[index + 1];
  if (!pattern) return -1;

  WideBuffer host = resolve_host();
  int listed = 0;
  DWORD resume = 0;
  for (;;) {
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS code =
        NetUserEnum(host.get(), 1, 0, &buffer, kBatchBytes, &read, &total, &resume);
    // Each batch is released before the next one is asked for.
    UserRecord batch(reinterpret_cast<USER_INFO_1*>(buffer));
    if (code != NERR_Success && code != ERROR_MORE_DATA) {
      reply_enumeration_refused(code);
      return 0;
    }
    if (code == ERROR_MORE_DATA && (read == 0 || !batch)) {
      // More is promised but nothing came: stop rather than ask forever.
      reply_enumeration_refused(code);
      return 0;
    }
    if (batch && !list_batch(batch.get(), read, pattern, &listed)) return 0;
    if (code == NERR_Success) break;
  }

  if (listed == 1) {
    reply_positive("+OK %d entry found.", listed);
  } else {
    reply_positive("+OK %d entries found.", listed);
  }
  return 1;
}
