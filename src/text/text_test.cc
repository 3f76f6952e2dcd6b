#include "text/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(CopyBounded, CopiesUpToTheLimitAndTerminatesTwice) {
  char buffer[8];
  std::memset(buffer, 'z', sizeof buffer);
  char* end = copy_bounded(buffer, "abcdefgh", 5);
  EXPECT_STREQ(buffer, "abcde");
  EXPECT_EQ(end, buffer + 5);

  std::memset(buffer, 'z', sizeof buffer);
  end = copy_bounded(buffer, "ab", 5);
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(end, buffer + 2);
  EXPECT_EQ(buffer[5], '\0');
  EXPECT_EQ(buffer[3], 'z');  // only the two terminators are written

  end = copy_bounded(buffer, "abc", 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(end, buffer);

  std::strcpy(buffer, "old");
  EXPECT_EQ(copy_bounded(buffer, nullptr, 5), buffer);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(copy_bounded(nullptr, "abc", 5), nullptr);

  // A negative limit never writes before the buffer.
  char guarded[4] = {'x', 'y', 'z', '\0'};
  EXPECT_EQ(copy_bounded(guarded + 1, "abc", -1), guarded + 1);
  EXPECT_EQ(guarded[0], 'x');
  EXPECT_EQ(guarded[1], '\0');
}

TEST(AppendBounded, KeepsTheWholeTextWithinTheLimit) {
  struct Case {
    const char* start;
    const char* source;
    int limit;
    const char* whole;
    const char* appended;
  };
  const Case cases[] = {
      {"abc", "defg", 5, "abcde", "de"},
      {"abc", "defg", 2, "ab", ""},  // already longer: cut, nothing appended
      {"abc", "defg", 3, "abc", ""},
      {"abc", "de", 10, "abcde", "de"},
      {"abc", nullptr, 2, "abc", ""},  // no source: unchanged
      {"", "xyz", 2, "xy", "xy"},
      {"abc", "d", -4, "", ""},
  };
  for (const Case& c : cases) {
    char buffer[16];
    std::memset(buffer, 'z', sizeof buffer);
    std::strcpy(buffer, c.start);
    const char* result = append_bounded(buffer, c.source, c.limit);
    EXPECT_STREQ(buffer, c.whole) << c.start << " + " << (c.source ? c.source : "(null)");
    EXPECT_STREQ(result, c.appended) << c.start << " limit " << c.limit;
  }
}

TEST(Compare, NullIsDifferentFromEverything) {
  EXPECT_EQ(same_text("path", "path"), 0);
  EXPECT_NE(same_text("path", "Path"), 0);
  EXPECT_LT(same_text("a", "\xe9"), 0);  // unsigned bytes
  EXPECT_EQ(same_text("x", nullptr), 1);
  EXPECT_EQ(same_text(nullptr, "x"), 1);
  EXPECT_EQ(same_text(nullptr, nullptr), 1);

  EXPECT_EQ(same_prefix("home=c:\\x", "home=", 5), 0);
  EXPECT_NE(same_prefix("hom", "home=", 5), 0);
  EXPECT_EQ(same_prefix("ab", "ab", 5), 0);
  EXPECT_EQ(same_prefix(nullptr, "home=", 5), 1);
  EXPECT_EQ(same_prefix(nullptr, nullptr, 0), 1);
}

TEST(AppendGrow, BuildsAHeapText) {
  char* text = append_grow(nullptr, "x");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "x");
  text = append_grow(text, nullptr);
  EXPECT_STREQ(text, "x");
  text = append_grow(text, "");
  text = append_grow(text, " home=\"c:\\users\\bob\"");
  HeapText owned(text);
  EXPECT_STREQ(owned.get(), "x home=\"c:\\users\\bob\"");
  EXPECT_EQ(append_grow(nullptr, nullptr), nullptr);

  std::string big(100000, 'q');
  char* grown = append_grow(append_grow(nullptr, "a"), big.c_str());
  HeapText owned_big(grown);
  EXPECT_EQ(std::strlen(grown), 100001u);
}

class PathHelpers : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    saved_ = path_separator();
    set_path_separator_for_tests(GetParam());
  }
  void TearDown() override { set_path_separator_for_tests(saved_); }

  // Writes a backslash-form path in the separator under test.
  std::string native(const char* text) const {
    std::string s = text;
    if (GetParam() == '/') {
      for (char& c : s)
        if (c == '\\') c = '/';
    }
    return s;
  }

 private:
  char saved_ = '/';
};

TEST_P(PathHelpers, SanitizeNameKeepsOnlySafeCharacters) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"My File (2).txt", "My_File_2.txt"},
      {"name  ", "name"},
      {"_", "_"},
      {"__", "_"},
      {"---", ""},
      {"x.y_z*:@9", "x.y_z*:@9"},
      {"\xc3\xa9t\xc3\xa9", "t"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(sanitize_name(c.in), c.out) << c.in;
  }
  const std::string mixed = sanitize_name("a\tb-c$d~e/f\\g");
  EXPECT_EQ(mixed, GetParam() == '/' ? "abcde/fg" : "abcdef\\g");
  EXPECT_STREQ(sanitize_name(native("\\mail\\x.ini").c_str()), native("\\mail\\x.ini").c_str());
  EXPECT_STREQ(sanitize_name(nullptr), "");
  EXPECT_EQ(std::strlen(sanitize_name(std::string(2000, 'a').c_str())), 511u);
}

TEST_P(PathHelpers, JoinPathPutsExactlyOneSeparatorBetween) {
  struct Case {
    const char* directory;
    const char* file;
    const char* result;  // backslash form
  };
  const Case cases[] = {
      {"c:\\mail", "ostrel.log", "c:\\mail\\ostrel.log"},
      {"c:\\mail\\", "ostrel.log", "c:\\mail\\ostrel.log"},
      {"c:\\mail\\", "\\x.ini", "c:\\mail\\x.ini"},
      {"c:\\mail", "\\x.ini", "c:\\mail\\x.ini"},
      {"", "x.ini", "x.ini"},
      {nullptr, "my file.ini", "my_file.ini"},
      {"c:\\mail", nullptr, "c:\\mail"},
      {"c:\\mail\\", "", "c:\\mail\\"},
      {nullptr, nullptr, ""},
      {"", "", ""},
      {"c:\\mail", "---", "c:\\mail\\"},
      {"c:\\my dir(1)", "a b", "c:\\my dir(1)\\a_b"},  // the directory is not cleaned
  };
  for (const Case& c : cases) {
    const std::string directory = c.directory ? native(c.directory) : "";
    const std::string file = c.file ? native(c.file) : "";
    const char* result =
        join_path(c.directory ? directory.c_str() : nullptr, c.file ? file.c_str() : nullptr);
    EXPECT_EQ(std::string(result), native(c.result))
        << (c.directory ? c.directory : "(null)") << " + " << (c.file ? c.file : "(null)");
  }
}

TEST_P(PathHelpers, JoinPathCutsLongResults) {
  const std::string directory(600, 'd');
  EXPECT_EQ(std::strlen(join_path(directory.c_str(), "x.ini")), 511u);
  const std::string near(509, 'd');
  EXPECT_EQ(std::string(join_path(near.c_str(), "x.ini")), near + native("\\x"));
}

TEST_P(PathHelpers, BaseNameTakesTheLastComponent) {
  struct Case {
    const char* path;
    int strip;
    const char* result;
  };
  const Case cases[] = {
      {"c:\\bin\\ostrel.exe", 1, "ostrel"},
      {"c:\\bin\\ostrel.exe", 0, "ostrel.exe"},
      {"c:\\bin\\", 1, ""},
      {"ostrel.tar.gz", 1, "ostrel"},
      {"ostrel", 0, "ostrel"},
      {"", 1, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::string(base_name(native(c.path).c_str(), c.strip)), c.result) << c.path;
  }
  EXPECT_STREQ(base_name(nullptr, 1), "");
  // The other separator is an ordinary character.
  if (GetParam() == '\\') {
    EXPECT_STREQ(base_name("c:/bin/ostrel.exe", 1), "c:/bin/ostrel");
  } else {
    EXPECT_STREQ(base_name("c:\\bin\\ostrel.exe", 1), "c:\\bin\\ostrel");
  }
  EXPECT_EQ(std::strlen(base_name(std::string(900, 'b').c_str(), 0)), 511u);
}

INSTANTIATE_TEST_SUITE_P(BothSeparators, PathHelpers, ::testing::Values('\\', '/'),
                         [](const ::testing::TestParamInfo<char>& param_info) {
                           return std::string(param_info.param == '/' ? "Posix" : "Windows");
                         });

}  // namespace
