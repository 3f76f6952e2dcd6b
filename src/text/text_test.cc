#include "text/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(BoundedCopies, CopyAndAppend) {
  char buffer[8];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(copy_bounded(buffer, "abcdefgh", 5), buffer + 5);
  EXPECT_STREQ(buffer, "abcde");
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(copy_bounded(buffer, "ab", 5), buffer + 2);
  EXPECT_EQ(std::string(buffer, 6), std::string("ab\0zz\0", 6));  // both terminators
  EXPECT_EQ(copy_bounded(buffer, nullptr, 5), buffer);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(copy_bounded(nullptr, "abc", 5), nullptr);

  struct Case {
    const char *start, *source;
    int limit;
    const char *whole, *appended;
  };
  const Case cases[] = {
      {"abc", "defg", 5, "abcde", "de"},
      {"abc", "defg", 2, "ab", ""},
      {"abc", "defg", 3, "abc", ""},
      {"abc", nullptr, 2, "abc", ""},
      {"", "xyz", 0, "", ""},
      {"abc", "d", -4, "", ""},
  };
  for (const Case& c : cases) {
    std::memset(buffer, 'z', sizeof buffer);
    std::strcpy(buffer, c.start);
    EXPECT_STREQ(append_bounded(buffer, c.source, c.limit), c.appended) << c.limit;
    EXPECT_STREQ(buffer, c.whole) << c.start << " limit " << c.limit;
  }
}

TEST(KeepOneLine, BreaksBecomeBlanksWithinTheLengthOnly) {
  struct Case {
    const char* text;
    std::size_t length;
    const char* kept;
  };
  const Case cases[] = {
      {"plain", 5, "plain"},
      {"\r\na\rb\n\n", 7, "  a b  "},
      {"a\nb\n", 3, "a b\n"},  // the break after the length stays
      {"\n", 0, "\n"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    keep_one_line(text.data(), c.length);
    EXPECT_EQ(text, c.kept) << c.text;
  }
  keep_one_line(nullptr, 3);
}

TEST(Compare, NullIsDifferentFromEverything) {
  EXPECT_EQ(same_text("path", "path"), 0);
  EXPECT_LT(same_text("a", "\xe9"), 0);  // unsigned bytes
  EXPECT_EQ(same_text("x", nullptr), 1);
  EXPECT_EQ(same_text(nullptr, nullptr), 1);
  EXPECT_EQ(same_prefix("home=c:\\x", "home=", 5), 0);
  EXPECT_NE(same_prefix("hom", "home=", 5), 0);
  EXPECT_EQ(same_prefix(nullptr, "home=", 5), 1);

  HeapText grown(append_grow(append_grow(append_grow(nullptr, "x"), nullptr), " home=\"c:\\\""));
  EXPECT_STREQ(grown.get(), "x home=\"c:\\\"");
}

// Every path helper runs with both separators; cases are written in backslash form.
class PathHelpers : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override { set_path_separator_for_tests(GetParam()); }
  void TearDown() override { set_path_separator_for_tests('/'); }
  std::string native(std::string s) const {
    for (char& c : s)
      if (c == '\\') c = GetParam();
    return s;
  }
};

TEST_P(PathHelpers, SanitizeJoinAndBaseName) {
  const std::pair<const char*, const char*> cleaned[] = {{"My File (2).txt", "My_File_2.txt"},
                                                         {"name  ", "name"},
                                                         {"_", "_"},
                                                         {"__", "_"},
                                                         {"---", ""},
                                                         {"x.y_z*:@9", "x.y_z*:@9"},
                                                         {"\xc3\xa9t\xc3\xa9", "t"},
                                                         {"\\a\\b", "\\a\\b"}};
  for (const auto& [in, out] : cleaned) EXPECT_EQ(sanitize_name(native(in).c_str()), native(out));
  // The other separator is dropped.
  EXPECT_STREQ(sanitize_name(GetParam() == '/' ? "a\\b/c" : "a/b\\c"), native("ab\\c").c_str());
  EXPECT_STREQ(sanitize_name(nullptr), "");

  struct Join {
    const char *directory, *file, *result;
  };
  const Join joins[] = {
      {"c:\\mail", "ostrel.log", "c:\\mail\\ostrel.log"},
      {"c:\\mail\\", "ostrel.log", "c:\\mail\\ostrel.log"},
      {"c:\\mail\\", "\\x.ini", "c:\\mail\\x.ini"},
      {"c:\\mail", "\\x.ini", "c:\\mail\\x.ini"},
      {"", "my file.ini", "my_file.ini"},
      {"c:\\mail", nullptr, "c:\\mail"},
      {nullptr, nullptr, ""},
      {"c:\\mail", "---", "c:\\mail\\"},
      {"c:\\my dir", "a b", "c:\\my dir\\a_b"},  // the directory is not cleaned
  };
  for (const Join& j : joins) {
    const std::string directory = j.directory ? native(j.directory) : "";
    const std::string file = j.file ? native(j.file) : "";
    EXPECT_EQ(join_path(j.directory ? directory.c_str() : nullptr, j.file ? file.c_str() : nullptr),
              native(j.result))
        << j.result;
  }
  EXPECT_EQ(join_path(std::string(509, 'd').c_str(), "x.ini"),
            std::string(509, 'd') + native("\\x"));  // cut to 511

  EXPECT_STREQ(base_name(native("c:\\bin\\ostrel.exe").c_str(), 1), "ostrel");
  EXPECT_STREQ(base_name(native("c:\\bin\\ostrel.exe").c_str(), 0), "ostrel.exe");
  EXPECT_STREQ(base_name(native("c:\\bin\\").c_str(), 1), "");
  EXPECT_STREQ(base_name("ostrel.tar.gz", 1), "ostrel");
  EXPECT_STREQ(base_name(nullptr, 1), "");
  const char* other = GetParam() == '\\' ? "c:/bin/ostrel.exe" : "c:\\bin\\ostrel.exe";
  EXPECT_EQ(std::string(base_name(other, 1)), std::string(other).substr(0, 13));
}

INSTANTIATE_TEST_SUITE_P(BothSeparators, PathHelpers, ::testing::Values('\\', '/'),
                         [](const ::testing::TestParamInfo<char>& param_info) {
                           return std::string(param_info.param == '/' ? "Posix" : "Windows");
                         });

}  // namespace
