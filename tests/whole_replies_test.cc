// Every reply is one whole line: accounts too large for a reply line are refused by set,
// values that could not be read back are refused, and no word can split a reply or a log
// line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ostrel_process.h"

namespace fs = std::filesystem;

namespace {

class WholeRepliesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path.empty());
    write_text(root_.path / "ostrel.ini", "path " + root_.path.string() +
                                              "\nlog debug\naccount_db " +
                                              (root_.path / "ostrel.db").string() + "\n");
  }

  std::vector<std::string> serve(const std::string& input) {
    return split_lines(run_ostrel(root_.path, {}, input).out);
  }

  // A directory path under the scratch directory of exactly length characters.
  std::string path_of_length(std::size_t length) const {
    std::string path = root_.path.string();
    while (path.size() + 101 < length) path += "/" + std::string(100, 'd');
    path += "/" + std::string(length - path.size() - 1, 'h');
    return path;
  }

  ScratchDir root_;
};

TEST_F(WholeRepliesTest, SetRefusesWhatCouldNotBeAnsweredWhole) {
  const std::string home = path_of_length(477);
  const std::string comment(480, 'c');
  const std::string script(480, 's');
  std::string e256;
  for (int i = 0; i < 256; ++i) e256 += "\xc3\xa9";
  // 512 bytes of UTF-8 do not fit a typed line: the command line carries them.
  EXPECT_EQ(run_ostrel(root_.path, {"set", "mid", "pw", "comment=" + e256}, "").out,
            "-ERR Comment invlaid.\n");
  const std::vector<std::string> replies =
      serve("set bob pw home=" + home + "\nset bob (NULL) comment=" + comment +
            "\nset bob (NULL) script=" + script + "\nset zed pw\nlookup bob\nsearch *\nquit\n");
  const std::string bob = "home=\"" + home + "\" comment=\"" + comment + "\"";
  EXPECT_EQ(replies, (std::vector<std::string>{
                         "+OK bob added to database.",
                         "+OK User bob added to database.",
                         "-ERR Script path invalid.",
                         "+OK zed added to database.",
                         "+OK bob config 0 " + bob,
                         "+DATA bob " + bob,
                         "+DATA zed comment=\"Ostrel 1.0g user\"",
                         "+OK 2 entries found.",
                         "+OK",
                     }));
  EXPECT_TRUE(fs::is_directory(home));
}

TEST_F(WholeRepliesTest, LongHomeIsProbedInsideIt) {
  const std::string home = path_of_length(511);
  EXPECT_EQ(run_ostrel(root_.path, {"set", "bob", "pw", "home=" + home}, "").out,
            "+OK bob added to database.\n");
  EXPECT_TRUE(fs::is_directory(home));
  const std::string log = read_text(root_.path / "ostrel.log");
  EXPECT_NE(log.find("DEBUG fopen called on (" + home + "/test.tmp) with style (wx) gives FILE *"),
            std::string::npos);
  EXPECT_NE(log.find("DEBUG fclose called on ("), std::string::npos);
}

TEST_F(WholeRepliesTest, LineBreaksInCommandLineWordsForgeNoLine) {
  for (const char* word : {"a\n+OK a config 0", "a\r\n+OK a config 0", "a\r+OK a config 0"}) {
    SCOPED_TRACE(word);
    const ChildResult result = run_ostrel(root_.path, {"lookup", word}, "");
    EXPECT_EQ(result.out, "-ERR User a not found.\n");
    for (const std::string& line : split_lines(read_text(root_.path / "ostrel.log"))) {
      EXPECT_FALSE(log_message(line).empty()) << "a log line without its head: " << line;
      EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    }
  }
}

}  // namespace
