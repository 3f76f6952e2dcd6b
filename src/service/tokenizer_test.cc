#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "service/service.h"

namespace {

std::vector<std::string> words_of(const ArgVector& vector) {
  std::vector<std::string> out;
  for (int i = 1; i < vector.count; ++i) out.emplace_back(vector.words[i]);
  return out;
}

TEST(TokenizeLine, SplitsAtBlanksAndGroupsQuotes) {
  struct Case {
    std::string line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"check alice secret\n", {"check", "alice", "secret"}},
      {"set bob (NULL) home=\"d:\\users\\bob\"\n", {"set", "bob", "(NULL)", "home=d:\\users\\bob"}},
      {"a  b\n", {"a", "", "b"}},
      {" quit\n", {"", "quit"}},
      {"quit \n", {"quit"}},
      {"check \"alice smith\" x\n", {"check", "alice smith", "x"}},
      {"\r\n", {}},
      {"\n", {}},
      {"", {}},
      {"a \"\" b\n", {"a", "", "b"}},  // empty quotes between blanks: an empty word
      {"a \"\"\n", {"a"}},             // ...but none at the end of the line
      {"a\tb c\n", {"a\tb", "c"}},     // a tab is an ordinary character
      {"say \"open quote to end\n", {"say", "open quote to end"}},
      {"in\"side quo\"tes\n", {"inside quotes"}},
      {"check alice pw\rtrailing\n", {"check", "alice", "pw"}},
      {"quoted \"a\rb\"\n", {"quoted", "a"}},  // CR stops the line inside quotes too
      {"no newline", {"no", "newline"}},
      {std::string("nul\0hidden rest\n", 16), {"nul"}},
      {"caf\xc3\xa9 \xff\xfe\n", {"caf\xc3\xa9", "\xff\xfe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ArgVector vector = tokenize_line(c.line.c_str(), "/usr/bin/ostrel");
    ASSERT_EQ(vector.count, static_cast<int>(c.words.size()) + 1);
    ASSERT_EQ(vector.words.size(), c.words.size() + 2);
    EXPECT_STREQ(vector.words[0], "/usr/bin/ostrel");
    EXPECT_EQ(words_of(vector), c.words);
    EXPECT_EQ(vector.words[vector.count], nullptr);
  }
}

TEST(TokenizeLine, CopiesWordsAndAcceptsNoProgramPath) {
  std::string line = "check alice pw\n";
  const ArgVector vector = tokenize_line(line.c_str(), nullptr);
  line.assign(line.size(), 'x');  // the vector must not point into the line
  ASSERT_EQ(vector.count, 4);
  EXPECT_EQ(vector.words[0], nullptr);
  EXPECT_STREQ(vector.words[1], "check");
  EXPECT_STREQ(vector.words[3], "pw");

  const ArgVector empty = tokenize_line(nullptr, nullptr);
  EXPECT_EQ(empty.count, 1);
  EXPECT_EQ(empty.words[1], nullptr);
}

TEST(TokenizeLine, OneVectorServesLineAfterLine) {
  // Longer, shorter, longer than any line of the loop, and without a program path: each
  // time only the new line's words, whatever the block held before.
  const std::string wide_word(3000, 'z');
  const std::vector<std::pair<std::string, std::vector<std::string>>> lines = {
      {"set alice pw home=\"/srv/mail/alice\"\n", {"set", "alice", "pw", "home=/srv/mail/alice"}},
      {"quit\n", {"quit"}},
      {"\n", {}},
      {"check " + wide_word + " x\n", {"check", wide_word, "x"}},
      {"a b c d e f g h i j\n", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}},
      {"lookup bob\n", {"lookup", "bob"}},
  };
  ArgVector vector;
  vector.added.push_back(std::make_unique<char[]>(4));  // a filter's word of the last command
  for (const auto& [line, words] : lines) {
    SCOPED_TRACE(line.substr(0, 30));
    tokenize_line_into(vector, line.c_str(), "/usr/bin/ostrel");
    EXPECT_TRUE(vector.added.empty());
    ASSERT_EQ(vector.count, static_cast<int>(words.size()) + 1);
    ASSERT_EQ(vector.words.size(), words.size() + 2);
    EXPECT_STREQ(vector.words[0], "/usr/bin/ostrel");
    EXPECT_EQ(words_of(vector), words);
    EXPECT_EQ(vector.words[vector.count], nullptr);
    EXPECT_GE(vector.text_capacity, vector.text_size);
  }
  tokenize_line_into(vector, "del bob\n", nullptr);
  ASSERT_EQ(vector.count, 3);
  EXPECT_EQ(vector.words[0], nullptr);
  EXPECT_STREQ(vector.words[2], "bob");
}

TEST(TokenizeLine, LongLinesKeepEveryCharacter) {
  // Lines from the command loop hold at most 511 characters; longer input must not
  // overflow anything either.
  const std::string word(5000, 'w');
  const ArgVector vector = tokenize_line((word + " " + word + "\n").c_str(), "p");
  ASSERT_EQ(vector.count, 3);
  EXPECT_EQ(std::string(vector.words[1]), word);
  EXPECT_EQ(std::string(vector.words[2]), word);
}

}  // namespace
