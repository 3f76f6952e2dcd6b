#include "platform/posix/directory/ldap_text.h"

#include <gtest/gtest.h>

#include <string>

namespace ostrel_posix {
namespace {

using namespace std::string_literals;

TEST(DirectoryTextTest, FilterValuesCannotChangeTheFilter) {
  const struct {
    std::string value, escaped;
  } cases[] = {
      {"alice", "alice"},
      {"*", "\\2a"},
      {"a*)(uid=*", "a\\2a\\29\\28uid=\\2a"},
      {"x)(|(objectClass=*)", "x\\29\\28|\\28objectClass=\\2a\\29"},
      {"back\\slash", "back\\5cslash"},
      {"nul\0in"s, "nul\\00in"},
      {"=,+ stay", "=,+ stay"},
      {"\xc3\xbc", "\xc3\xbc"},  // UTF-8 passes as it is
  };
  for (const auto& c : cases) EXPECT_EQ(escape_filter_value(c.value), c.escaped) << c.value;
}

TEST(DirectoryTextTest, DnValuesCannotChangeTheDn) {
  const struct {
    std::string value, escaped;
  } cases[] = {
      {"alice", "alice"},
      {"a,ou=admins", "a\\,ou\\=admins"},
      {"a+cn=b", "a\\+cn\\=b"},
      {"q\"u;o<t>e\\", "q\\\"u\\;o\\<t\\>e\\\\"},
      {" lead and trail ", "\\ lead and trail\\ "},
      {"#hash#", "\\#hash#"},
      {"nul\0x\x7f"s, "nul\\00x\\7f"},
      {"(*)", "(*)"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_dn_value(c.value), c.escaped) << c.value;
}

TEST(DirectoryTextTest, GeneralizedTimes) {
  const struct {
    const char* text;
    bool ok;
    std::int64_t seconds;
  } cases[] = {
      {"19700101000000Z", true, 0},
      {"20261208190806Z", true, 1796756886},
      {"20261208190806.123456Z", true, 1796756886},
      {"20261208190806", false, 0},
      {"2026120819080Z", false, 0},
      {"20261308190806Z", false, 0},
      {"2026120819080xZ", false, 0},
      {"20261208190806.Z", false, 0},
      {"20261208190806.1x2Z", false, 0},
  };
  for (const auto& c : cases) {
    std::int64_t seconds = -1;
    EXPECT_EQ(parse_generalized_time(c.text, seconds), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(seconds, c.seconds) << c.text;
    }
  }
}

}  // namespace
}  // namespace ostrel_posix
