// Bytes as three lines: a name pattern, an account name, and a line of attribute words.
// The pattern and name go through the wildcard matcher, with results that must agree
// with each other; the words through attribute_value and apply_account_attributes (an
// absolute home directory is moved under <scratch>/homes first, see fuzz_support.h).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "accounts/accounts.h"
#include "fuzz_support.h"
#include "log/log.h"
#include "service/service.h"
#include "settings/settings.h"

namespace {

void fail(const char* what, const std::string& pattern, const std::string& text) {
  std::fprintf(stderr, "wildcard_fuzz: %s\npattern {%s}\ntext {%s}\n", what, pattern.c_str(),
               text.c_str());
  std::abort();
}

// Takes the next line (without its newline) off the front of input.
std::string next_line(std::string& input) {
  const std::size_t newline = input.find('\n');
  std::string line = input.substr(0, newline);
  input.erase(0, newline == std::string::npos ? input.size() : newline + 1);
  return line;
}

void check_matcher(const std::string& pattern, const std::string& text) {
  const char* p = pattern.c_str();
  const char* t = text.c_str();
  const int result = wildcard_match(t, p);
  if (result < -1 || result > 1) fail("result out of range", pattern, text);
  if (name_matches(p, t) != ((result == 1 || pattern == "*") ? 1 : 0)) {
    fail("name_matches disagrees with wildcard_match", pattern, text);
  }
  if (pattern.find_first_of("*?[\\") == std::string::npos && (result == 1) != (pattern == text)) {
    fail("a plain pattern must match exactly itself", pattern, text);
  }

  // Every character escaped: the text itself, literally. Every character "?": any text
  // of that length. A star in front: anything ending in the text.
  std::string escaped;
  std::string any(text.size(), '?');
  for (const char c : text) {
    escaped += '\\';
    escaped += c;
  }
  if (wildcard_match(t, escaped.c_str()) != 1) fail("escaped text does not match", escaped, text);
  if (wildcard_match(t, any.c_str()) != 1) fail("one ? per character does not match", any, text);
  if (wildcard_match((pattern + text).c_str(), ("*" + escaped).c_str()) != 1) {
    fail("a star does not take a prefix", "*" + escaped, pattern + text);
  }
}

void check_attributes(const std::string& line) {
  ArgVector command = tokenize_line(line.c_str(), "ostrel");
  for (int i = 1; i < command.count; ++i) {
    const char* word = command.words[static_cast<std::size_t>(i)];
    const char* value = attribute_value(word);
    const char* equals = std::strchr(word, '=');
    const std::size_t length = std::strlen(value);
    if (length > static_cast<std::size_t>(kLineBuffer)) fail("value too long", word, value);
    if (!equals) {
      if (length != 0) fail("a word without = has a value", word, value);
      continue;
    }
    const char* start = equals + 1 + (equals[1] == '"' ? 1 : 0);
    if (std::strncmp(start, value, length) != 0) fail("value is not the word's text", word, value);
  }

  contain_home_words(command);
  USER_INFO_1 record{};
  AttributeBuffers owned;
  if (apply_account_attributes(&record, command.words.data(), 0, owned) == 1) {
    if (!record.usri1_comment) fail("no comment after the attributes", line, "");
    char text[kMessageBuffer];
    if (format_account_attributes(&record, "", text) && !std::strstr(text, "comment=\"")) {
      fail("comment not formatted", line, "");
    }
  }
  clear_negative_sent();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  empty_directory(homes_root());
  settings().uname = std::string(kDisplayName) + " " + kVersionText + " user";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  // The matcher sees C texts: a NUL ends each of them.
  const std::string pattern = next_line(input).c_str();
  const std::string text = next_line(input).c_str();
  check_matcher(pattern, text);

  empty_directory(homes_root());
  open_fresh_log(scratch_dir(), "fuzz");
  check_attributes(input);
  reset_log_for_tests();
  return 0;
}
