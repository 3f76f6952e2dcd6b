#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

struct ToWideRow {
  const char* label;
  std::string input;
  std::u16string expected;  // when error is 0
  DWORD error;
};

TEST(CodePage, MultiByteToWideCharDecodesStrictly) {
  const ToWideRow rows[] = {
      {"ascii", "abc", u"abc", 0},
      {"two bytes", "\xC3\xA4", u"\u00E4", 0},
      {"three bytes", "\xE2\x82\xAC", u"\u20AC", 0},
      {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600", 0},
      {"highest", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", 0},
      {"overlong two", "\xC0\x80", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"overlong three", "\xE0\x80\xAF", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"overlong four", "\xF0\x80\x80\xAF", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"surrogate", "\xED\xA0\x80", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"truncated", "ab\xE2\x82", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"stray continuation", "\x80", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"lead without follower", "\xC3 ", u"", ERROR_NO_UNICODE_TRANSLATION},
      {"byte 0xFF", "a\xFF", u"", ERROR_NO_UNICODE_TRANSLATION},
      // Runs of ASCII are taken eight bytes at a time: other bytes within, after and
      // between such runs.
      {"inside a run",
       "abcdefg\xE2\x82\xAC"
       "abcdefghi",
       u"abcdefg\u20ACabcdefghi", 0},
      {"between runs", "abcdefgh\xC3\xA4ijklmnopq", u"abcdefgh\u00E4ijklmnopq", 0},
      {"run ending the text",
       "\xC3\xA4"
       "abcdefghij",
       u"\u00E4abcdefghij", 0},
      {"short run ending the text",
       "abcdefgh\xC3\xA4"
       "abcdefg",
       u"abcdefgh\u00E4abcdefg", 0},
      {"after two runs", "abcdefghijklmnop\xFF", u"", ERROR_NO_UNICODE_TRANSLATION},
  };
  for (const ToWideRow& row : rows) {
    SCOPED_TRACE(row.label);
    WCHAR out[32] = {};
    SetLastError(0);
    const int n = MultiByteToWideChar(CP_ACP, 0, row.input.c_str(), -1, out, 32);
    if (row.error != 0) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(GetLastError(), row.error);
    } else {
      ASSERT_EQ(n, static_cast<int>(row.expected.size()) + 1);  // with the terminator
      EXPECT_EQ(std::u16string(out), row.expected);
    }
  }
}

// Each row is one call; a result of 0 must leave its own code as the last error.
struct CallRow {
  const char* label;
  int (*call)();
  int result;
  DWORD error;
};

TEST(CodePage, ArgumentsSizesAndLastError) {
  static WCHAR wide[512];
  static char narrow[512];
  static BOOL used = FALSE;
  static const std::string fits(511, 'x');
  static const std::string too_long(512, 'x');
  const CallRow rows[] = {
      {"null input", [] { return MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 512); }, 0,
       ERROR_INVALID_PARAMETER},
      {"zero length", [] { return MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 512); }, 0,
       ERROR_INVALID_PARAMETER},
      {"flags", [] { return MultiByteToWideChar(CP_ACP, 1, "a", -1, wide, 512); }, 0,
       ERROR_INVALID_FLAGS},
      {"unknown code page", [] { return MultiByteToWideChar(1252, 0, "a", -1, wide, 512); }, 0,
       ERROR_INVALID_PARAMETER},
      {"511 and the terminator fit",
       [] { return MultiByteToWideChar(CP_ACP, 0, fits.c_str(), -1, wide, 512); }, 512, 0},
      {"512 do not fit",
       [] { return MultiByteToWideChar(CP_ACP, 0, too_long.c_str(), -1, wide, 512); }, 0,
       ERROR_INSUFFICIENT_BUFFER},
      {"size asked",
       [] { return MultiByteToWideChar(CP_UTF8, 0, too_long.c_str(), -1, nullptr, 0); }, 513, 0},
      {"explicit length", [] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 2, wide, 512); }, 2,
       0},
      {"wide null input",
       [] { return WideCharToMultiByte(CP_ACP, 0, nullptr, -1, narrow, 512, nullptr, nullptr); }, 0,
       ERROR_INVALID_PARAMETER},
      {"default char",
       [] { return WideCharToMultiByte(CP_ACP, 0, u"a", -1, narrow, 512, "?", nullptr); }, 0,
       ERROR_INVALID_PARAMETER},
      {"used default flag",
       [] { return WideCharToMultiByte(CP_UTF8, 0, u"a", -1, narrow, 512, nullptr, &used); }, 0,
       ERROR_INVALID_PARAMETER},
      {"wide flags",
       [] { return WideCharToMultiByte(CP_ACP, 4, u"a", -1, narrow, 512, nullptr, nullptr); }, 0,
       ERROR_INVALID_FLAGS},
      {"unpaired high surrogate",
       [] { return WideCharToMultiByte(CP_ACP, 0, u"a\xD800", -1, narrow, 512, nullptr, nullptr); },
       0, ERROR_NO_UNICODE_TRANSLATION},
      {"unpaired low surrogate",
       [] { return WideCharToMultiByte(CP_ACP, 0, u"\xDC00z", -1, narrow, 512, nullptr, nullptr); },
       0, ERROR_NO_UNICODE_TRANSLATION},
      {"pair",
       [] {
         return WideCharToMultiByte(CP_ACP, 0, u"\U0001F600", -1, narrow, 512, nullptr, nullptr);
       },
       5, 0},
      {"bytes do not fit",
       [] {
         return WideCharToMultiByte(CP_ACP, 0, u"\u20AC\u20AC", -1, narrow, 6, nullptr, nullptr);
       },
       0, ERROR_INSUFFICIENT_BUFFER},
      {"injected",
       [] {
         platform_inject_fault("WideCharToMultiByte", 4242);
         return WideCharToMultiByte(CP_ACP, 0, u"a", -1, narrow, 8, nullptr, nullptr);
       },
       0, 4242},
      {"a fault is used once",
       [] { return WideCharToMultiByte(CP_ACP, 0, u"ab", -1, narrow, 8, nullptr, nullptr); }, 3, 0},
  };
  for (const CallRow& row : rows) {
    SCOPED_TRACE(row.label);
    SetLastError(0);
    EXPECT_EQ(row.call(), row.result);
    EXPECT_EQ(GetLastError(), row.error);
  }
}

// Texts around the size converted without a heap buffer convert the same as short ones,
// and a failed conversion leaves the output as it was.
TEST(CodePage, LongTextsRoundTripWhole) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes, one unit
  for (const std::size_t units : {1023u, 1024u, 1025u, 4000u}) {
    SCOPED_TRACE(units);
    for (const bool wide_chars : {false, true}) {
      std::string text;
      for (std::size_t i = 0; i < units; ++i) text += wide_chars && i % 2 ? euro : "a";
      std::u16string wide(units + 1, u'?');
      ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(),
                                    static_cast<int>(wide.size())),
                static_cast<int>(units) + 1);
      EXPECT_EQ(wide[units], 0);
      std::string back(text.size() + 1, '?');
      ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, back.data(),
                                    static_cast<int>(back.size()), nullptr, nullptr),
                static_cast<int>(text.size()) + 1);
      EXPECT_EQ(back.c_str(), text);
    }
    std::string bad(units, 'a');
    bad[units - 1] = '\xFF';
    std::u16string untouched(units + 1, u'?');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, bad.c_str(), -1, untouched.data(),
                                  static_cast<int>(untouched.size())),
              0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(untouched, std::u16string(units + 1, u'?'));
  }
}

// Runs of ASCII are taken eight units at a time both ways: one other unit at every place
// of texts around those lengths, and an unpaired surrogate there, which is refused.
TEST(CodePage, OneOtherUnitAtEveryPlace) {
  for (const std::size_t length : {8u, 9u, 15u, 16u, 17u, 25u}) {
    for (std::size_t at = 0; at < length; ++at) {
      SCOPED_TRACE(testing::Message() << length << " units, other at " << at);
      std::u16string wide(length, u'a');
      for (std::size_t i = 0; i < length; ++i) wide[i] = static_cast<char16_t>(u'a' + i % 26);
      wide[at] = u'\u00E4';
      std::string narrow(2 * length + 2, '?');
      ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow.data(),
                                    static_cast<int>(narrow.size()), nullptr, nullptr),
                static_cast<int>(length) + 2);
      std::u16string back(length + 1, u'?');
      ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, back.data(),
                                    static_cast<int>(back.size())),
                static_cast<int>(length) + 1);
      EXPECT_EQ(back.c_str(), wide);
      wide[at] = 0xD800;
      EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow.data(),
                                    static_cast<int>(narrow.size()), nullptr, nullptr),
                0);
    }
  }
}

TEST(CodePage, LastErrorIsPerThread) {
  SetLastError(77);
  std::thread other([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(99);
  });
  other.join();
  EXPECT_EQ(GetLastError(), 77u);
}

}  // namespace
