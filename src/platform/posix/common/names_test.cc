#include "platform/posix/common/names.h"

#include <gtest/gtest.h>

#include <string>

namespace ostrel_posix {
namespace {

TEST(Names, KeysFoldCaseWhereverTheFirstNonAsciiUnitIs) {
  struct Row {
    const char* label;
    std::u16string name;
    bool ok;
    std::string key;
  };
  const Row rows[] = {
      {"ascii", u"Mail.User 1", true, "MAIL.USER 1"},
      {"empty", u"", true, ""},
      {"non-ascii last", u"joe\u00e4", true, "JOE\xC3\x84"},
      {"non-ascii first", u"\u00e4joe", true, "\xC3\x84JOE"},
      {"pair", u"x\U0001F600y", true, "X\xF0\x9F\x98\x80Y"},
      {"unpaired high", u"ab\xD800", false, ""},
      {"unpaired low",
       u"\xDC00"
       u"ab",
       false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    // A key already holding a longer text is replaced, not appended to.
    std::string key = "LEFTOVER FROM AN EARLIER NAME";
    ASSERT_EQ(name_key(row.name, key), row.ok);
    if (row.ok) {
      EXPECT_EQ(key, row.key);
    }
  }
}

}  // namespace
}  // namespace ostrel_posix
