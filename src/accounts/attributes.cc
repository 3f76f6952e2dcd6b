// Account attributes: the home=, comment= and script= words of a command into the account
// record, and the record's attributes as the text the positive replies carry.
#include <cstring>
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

HeapText format_account_attributes(const USER_INFO_1* record) {
  if (!record) return nullptr;
  const struct {
    const char* name;
    LPCWSTR value;
  } items[] = {
      {"home", record->usri1_home_dir},
      {"comment", record->usri1_comment},
      {"script", record->usri1_script_path},
  };

  // Put together in place, then copied to the heap once.
  char text[3 * (kLineBuffer + 16)];
  char* end = text;
  auto put = [&end](const char* part, std::size_t length) {
    std::memcpy(end, part, length);
    end += length;
  };
  for (const auto& item : items) {
    if (!item.value) continue;
    char value[kLineBuffer];
    if (to_narrow(item.value, value) == 0) {
      report_conversion_error();
      return nullptr;
    }
    if (end != text) put(" ", 1);
    put(item.name, std::strlen(item.name));
    put("=\"", 2);
    put(value, std::strlen(value));
    put("\"", 1);
  }
  if (end == text) return nullptr;
  *end = '\0';
  return HeapText(append_grow(nullptr, text));
}
