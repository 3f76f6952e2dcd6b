// The search command: lists the accounts whose names match a pattern, with their
// attributes, batch by batch through the enumeration's resume handle.
#include <cstdio>
#include <string>

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

// The name as far as a log line can show it: printable ASCII as it is, any other unit as
// \uXXXX, at most 64 units.
std::string shown_name(LPCWSTR name) {
  std::string shown;
  for (int i = 0; name && name[i] && i < 64; ++i) {
    const unsigned unit = name[i];
    if (unit >= 0x20 && unit < 0x7F) {
      shown.push_back(static_cast<char>(unit));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
      shown += escaped;
    }
  }
  return shown;
}

// Lists the matching entries of one batch. An account whose name cannot be shown is
// skipped with an ERROR log line; one whose fields cannot all be shown is listed without
// them: neither stops the listing of the others.
void list_batch(const USER_INFO_1* entries, DWORD count, const char* pattern, int* listed) {
  char name[kLineBuffer];
  char text[kMessageBuffer];
  for (DWORD i = 0; i < count; ++i) {
    const USER_INFO_1& entry = entries[i];
    if (to_narrow(entry.usri1_name, name) == 0) {
      log_error("Account %s skipped in the listing: its name cannot be shown.",
                shown_name(entry.usri1_name).c_str());
      continue;
    }
    if (name_matches(pattern, name) != 1) continue;
    if (format_account_attributes(&entry, name, text)) {
      reply_positive_parts({"+DATA ", name, " ", text});
    } else {
      reply_positive_parts({"+DATA ", name});
    }
    ++*listed;
  }
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
    if (batch) list_batch(batch.get(), read, pattern, &listed);
    if (code == NERR_Success) break;
  }

  if (listed == 1) {
    reply_positive("+OK %d entry found.", listed);
  } else {
    reply_positive("+OK %d entries found.", listed);
  }
  return 1;
}
