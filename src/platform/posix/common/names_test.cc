#include "platform/posix/common/names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/posix/common/utf.h"

namespace ostrel_posix {
namespace {

TEST(Names, BoundedLengthStopsAtTheTerminatorOrOnePastTheLimit) {
  for (std::size_t length = 0; length <= 11; ++length) {
    const std::u16string text(length, u'x');
    for (std::size_t limit = 0; limit <= 13; ++limit) {
      SCOPED_TRACE(testing::Message() << length << " " << limit);
      EXPECT_EQ(bounded_length(text.c_str(), limit), std::min(length, limit + 1));
    }
  }
}

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

// Names all in ASCII take a path of their own: they are judged as any other name is.
TEST(Names, AsciiNamesAreJudgedAsOthers) {
  const std::u16string longest(kMaxNameUnits, u'a');
  const std::u16string rows[] = {u"joe",  u"Joe.Smith", longest,        longest + u"a",
                                 u"",     u"..",        u". .",         u"a*b",
                                 u"a\tb", u"a\x7F",     u"joe\u00e4:x", u"j\u00e4"};
  for (const std::u16string& name : rows) {
    SCOPED_TRACE(std::string(name.begin(), name.begin() + std::min<std::size_t>(name.size(), 12)));
    std::u16string_view view;
    std::string key = "LEFTOVER";
    const bool ok = account_name_and_key(name.c_str(), view, key);
    const std::u16string_view whole(name);
    std::string expected_key;
    EXPECT_EQ(ok, valid_account_name(whole) && name_key(whole, expected_key));
    if (ok) {
      EXPECT_EQ(view, whole);
      EXPECT_EQ(key, expected_key);
    }
  }
}

}  // namespace
}  // namespace ostrel_posix
