#include <gtest/gtest.h>

#include "accounts/accounts.h"

namespace {

struct MatchCase {
  const char* text;
  const char* pattern;
  int expected;
};

TEST(WildcardMatch, PatternTable) {
  const MatchCase cases[] = {
      // stars
      {"", "**", 1},
      {"anything", "**", 1},
      {"abc", "a*", 1},
      {"a", "a*", 1},
      {"Abc", "a*", 0},
      {"axxbyyc", "a*b*c", 1},
      {"axxbyy", "a*b*c", -1},  // the text runs out before the last c
      {"xa", "*b", -1},         // no position after the star lets "b" match
      {"ab", "*b", 1},
      // empty pattern, literal characters
      {"", "", 1},
      {"a", "", 0},
      {"", "a", -1},
      {"abc", "abd", 0},
      {"ABC", "abc", 0},
      // question marks
      {"a", "?", 1},
      {"ab", "?", 0},
      {"", "?", -1},
      {"ab", "??*", 1},
      {"abcdef", "??*", 1},
      {"a", "??*", -1},
      // backslash
      {"*", "\\*", 1},
      {"a", "\\*", 0},
      {"?", "\\?", 1},
      {"ab", "a\\", 0},  // a trailing backslash meets the terminator
      // sets
      {"q", "[a-z]", 1},
      {"Q", "[a-z]", 0},
      {"x", "[^0-9]", 1},
      {"5", "[^0-9]", 0},
      {"]", "[]a]", 1},
      {"a", "[]a]", 1},
      {"b", "[]a]", 0},
      {"-", "[-a]", 1},
      {"a", "[-a]", 1},
      {"-", "[a-]", 1},
      {"a", "[a-]", 1},
      {"b", "[a-]", 0},
      {"b", "[a-cx-z]", 1},
      {"y", "[a-cx-z]", 1},
      {"m", "[a-cx-z]", 0},
      {"d", "[a-c-e]", 1},  // a range may start at the end of the previous one
      {"c", "[z-a]", 0},    // first end above the second matches nothing
      {"ab1", "ab[0-9]", 1},
      {"abc1", "*[0-9]", 1},
      {"", "[a]", -1},
      // ranges compare signed bytes: 0x80..0xFF order below 0x00..0x7F
      {"\x01", "[\xff-\x05]", 1},
      {"\xfe", "[\xff-\x05]", 0},
      {"\xff", "[\x80-a]", 1},
      {"b", "[\x80-a]", 0},
      {"\xc3", "[a-\xc3]", 0},
      // a pattern that ends inside a set never matches and reads nothing past its end
      {"a", "[a", 0},
      {"a", "[^b", 0},
      {"a", "[a-", 0},
      {"a", "[", 0},
      {"xa", "*[a", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wildcard_match(c.text, c.pattern), c.expected)
        << "text \"" << c.text << "\" pattern \"" << c.pattern << "\"";
  }
}

TEST(WildcardMatch, NameMatches) {
  const struct {
    const char* pattern;
    const char* name;
    int expected;
  } cases[] = {
      {"*", "alice", 1}, {"*", "", 1},           {"**", "alice", 1}, {"", "", 1},
      {"", "alice", 0},  {"a*", "alice", 1},     {"a*", "Alice", 0}, {"?", "a", 1},
      {"?", "ab", 0},    {"a*b*c", "axxbyy", 0}, {"\\*", "*", 1},    {"\\*", "a", 0},
      {nullptr, "a", 0}, {"a", nullptr, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(name_matches(c.pattern, c.name), c.expected)
        << "pattern " << (c.pattern ? c.pattern : "(null)") << " name "
        << (c.name ? c.name : "(null)");
  }
}

}  // namespace
