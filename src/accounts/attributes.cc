// Account attributes: the home=, comment= and script= words of a command into the account
// record, and the record's attributes as the text the positive replies carry.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "accounts/accounts.h"
#include "log/log.h"
#include "settings/settings.h"

namespace {

// Converts value into a new wide buffer, points field at it and hands the buffer to owned.
int set_field(LPWSTR& field, const char* value, AttributeBuffers& owned) {
  WideBuffer wide = to_wide(value);
  if (!wide) {
    report_conversion_error();
    return 0;
  }
  field = wide.get();
  owned.push_back(std::move(wide));
  return 1;
}

// The record field an attribute word names, or null for any other word.
LPWSTR* field_of_word(USER_INFO_1* record, const char* word) {
  if (same_prefix(word, "home=", 5) == 0) return &record->usri1_home_dir;
  if (same_prefix(word, "comment=", 8) == 0) return &record->usri1_comment;
  if (same_prefix(word, "script=", 7) == 0) return &record->usri1_script_path;
  return nullptr;
}

// "+OK <user> config 0 " ahead of the attribute text: the longest reply that carries it
// (search's "+DATA <user> " is shorter).
constexpr std::size_t kConfigReplyWords = 14;

// The parameter indexes of the fields in the rejected-parameter replies.
constexpr DWORD kNameParameter = 1;
constexpr DWORD kHomeParameter = 5;
constexpr DWORD kCommentParameter = 6;
constexpr DWORD kScriptParameter = 8;

// True when the reply cannot carry value unambiguously: a double quote would end the
// value early (and let the rest pass for another attribute), a control character could
// break the line.
bool reply_cannot_carry(const char* value, std::size_t length) {
  // Eight bytes a step: a byte below 0x20 and a zero byte of the word xor'ed with '"' or
  // DEL each leave a high bit in their flag word; bytes of 0x80 and above never do.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  std::size_t i = 0;
  for (; length - i >= 8; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, value + i, sizeof word);
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t del = word ^ (kOnes * 0x7F);
    const std::uint64_t flags =
        ((word - kOnes * 0x20) & ~word) | ((quote - kOnes) & ~quote) | ((del - kOnes) & ~del);
    if ((flags & kHigh) != 0) return true;
  }
  for (; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c == '"' || c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Writes the reply for a field whose narrow form could not be made: the field's own
// reply when it does not fit the buffer, the conversion reply for any other failure.
// Always 0, the result of a refused record.
int refuse_parameter(DWORD parameter, bool converted = false) {
  if (converted || GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    report_bad_parameter(parameter);
  } else {
    report_conversion_error();
  }
  return 0;
}

// Refuses a record that could not be answered whole: a name or value whose narrow form
// does not fit the 512-byte conversion buffer, or attributes whose text would not fit the
// reply line of check, lookup and search. The reply names the field that does not fit.
int record_fits_reply(const USER_INFO_1* record) {
  char text[kLineBuffer];
  std::size_t length = kConfigReplyWords;
  if (record->usri1_name) {
    if (to_narrow(record->usri1_name, text) == 0) return refuse_parameter(kNameParameter);
    length += std::strlen(text);
  }
  const struct {
    const char* name;
    LPCWSTR value;
    DWORD parameter;
  } items[] = {
      {"home", record->usri1_home_dir, kHomeParameter},
      {"comment", record->usri1_comment, kCommentParameter},
      {"script", record->usri1_script_path, kScriptParameter},
  };
  bool first = true;
  for (const auto& item : items) {
    if (!item.value) continue;
    if (to_narrow(item.value, text) == 0) return refuse_parameter(item.parameter);
    if (reply_cannot_carry(text, std::strlen(text))) return refuse_parameter(item.parameter, true);
    // A blank between items, then name="value".
    length += (first ? 0 : 1) + std::strlen(item.name) + 3 + std::strlen(text);
    first = false;
    // The reply and its newline in the 1024-byte reply buffer.
    if (length + 1 > static_cast<std::size_t>(kMessageBuffer - 1)) {
      return refuse_parameter(item.parameter, true);
    }
  }
  return 1;
}

}  // namespace

const char* attribute_value(const char* word) {
  // A value of at most 512 characters and its terminator.
  static char area[kLineBuffer + 1];
  if (!word) return nullptr;
  const char* equals = std::strchr(word, '=');
  const char* value = equals ? equals + 1 : "";
  if (*value == '"') ++value;
  char* end = copy_bounded(area, value, kLineBuffer);
  if (end != area && end[-1] == '"') end[-1] = '\0';
  return area;
}

int apply_account_attributes(USER_INFO_1* record, char* const* words, int last,
                             AttributeBuffers& owned) {
  if (!record || !words) return 0;
  if (words[last]) {
    for (int i = last + 1; words[i]; ++i) {
      const char* word = words[i];
      log_debug("Set user information {%s}.", word);
      LPWSTR* field = field_of_word(record, word);
      if (!field) {
        log_debug("Unknown user info {%s}", word);
        continue;
      }
      if (!set_field(*field, attribute_value(word), owned)) return 0;
    }
  }

  // A comment given empty stays empty; only an absent one gets the default.
  if (!record->usri1_comment &&
      !set_field(record->usri1_comment, text_of(settings().uname), owned)) {
    return 0;
  }

  // Refused before the home directory is made: nothing changes for a record that
  // check, lookup and search could not answer whole.
  if (!record_fits_reply(record)) return 0;

  if (!record->usri1_home_dir) return 1;
  char path[kLineBuffer];
  if (to_narrow(record->usri1_home_dir, path) == 0) {
    report_conversion_error();
    return 0;
  }
  log_debug("Checking user directory '%s'", path);
  if (probe_home_directory(path) != 0) return 1;
  return create_directory_chain(path);
}

bool format_account_attributes(const USER_INFO_1* record, const char* user, char* text) {
  text[0] = '\0';
  if (!record || !user) return false;
  const struct {
    std::string_view name;
    LPCWSTR value;
  } items[] = {
      {"home", record->usri1_home_dir},
      {"comment", record->usri1_comment},
      {"script", record->usri1_script_path},
  };

  // The longest reply that carries the text, "+OK <user> config 0 <text>", and its newline
  // fit the reply buffer; search's "+DATA <user> <text>" is shorter.
  const std::size_t words = kConfigReplyWords + std::strlen(user);
  const std::size_t room = words < kMessageBuffer - 2 ? kMessageBuffer - 2 - words : 0;
  char* end = text;
  auto put = [&end](const char* part, std::size_t length) {
    std::memcpy(end, part, length);
    end += length;
  };
  for (const auto& item : items) {
    if (!item.value) continue;
    // A field that cannot be shown whole is left out, never cut: the account is still
    // answered and listed, and the log says which field is missing.
    char value[kLineBuffer];
    const int converted = to_narrow(item.value, value);
    if (converted == 0) {
      log_error(
          "Account %s: %s left out of the reply, %s.", user, item.name.data(),
          GetLastError() == ERROR_INSUFFICIENT_BUFFER ? "longer than 511 bytes" : "not valid text");
      continue;
    }
    // The count includes the terminator.
    const std::size_t length = static_cast<std::size_t>(converted) - 1;
    // Another tool may have written what set never stores.
    if (reply_cannot_carry(value, length)) {
      log_error("Account %s: %s left out of the reply, it holds a quote or a control character.",
                user, item.name.data());
      continue;
    }
    const std::size_t blank = end != text ? 1 : 0;
    if (static_cast<std::size_t>(end - text) + blank + item.name.size() + 3 + length > room) {
      log_error("Account %s: %s left out of the reply, the line would pass 1023 characters.", user,
                item.name.data());
      continue;
    }
    if (blank) put(" ", 1);
    put(item.name.data(), item.name.size());
    put("=\"", 2);
    put(value, length);
    put("\"", 1);
  }
  *end = '\0';
  return end != text;
}
