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

TEST_F(WholeRepliesTest, HostValuesOtherToolsWroteAreLeftOutNeverCut) {
  // Host account lines as usermod can write them: a 600-character GECOS, home, GECOS and
  // shell that together pass the reply line, a GECOS that is not UTF-8.
  const fs::path etc = root_.path / "etc";
  fs::create_directories(etc);
  write_text(etc / "passwd", "");
  write_text(etc / "shadow", "");
  write_text(etc / "group", "Guests:x:546:\n");
  write_text(etc / "gshadow", "Guests:!::\n");
  write_text(etc / "login.defs", "UID_MIN 1000\nUID_MAX 60000\n");
  const std::string homes = (root_.path / "homes").string();
  write_text(root_.path / "ostrel.ini",
             "path " + root_.path.string() + "\nlog info\naccount_db system\npassword_file " +
                 (etc / "passwd").string() + "\nshadow_file " + (etc / "shadow").string() +
                 "\nhome_path " + homes + "\nshell /bin/sh\n");
  ASSERT_EQ(serve("set carol Carol#1 comment=c\nset dave Dave#1 comment=d\nset erin Erin#1 "
                  "comment=e\nset fay Fay#1 comment=f\nquit\n")
                .size(),
            5u);
  const std::string long_home = path_of_length(480);
  const std::string gecos[] = {std::string(600, 'c'), std::string(480, 'd'), "Jos\xe9"};
  // usermod -c, -d and -s as the host's administrator would run them.
  std::string passwd = read_text(etc / "passwd");
  const std::pair<std::string, std::string> edits[] = {
      {":c:", ":" + gecos[0] + ":"},
      {":d:" + homes + "/dave:/bin/sh",
       ":" + gecos[1] + ":" + long_home + ":/" + std::string(100, 's')},
      {":e:", ":" + gecos[2] + ":"},
      // chfn lets a user write a quote into the GECOS: it must not forge a home.
      {":f:", ":x\" home=\"/srv/mail/victim:"}};
  for (const auto& [from, to] : edits) {
    ASSERT_NE(passwd.find(from), std::string::npos) << from;
    passwd.replace(passwd.find(from), from.size(), to);
  }
  write_text(etc / "passwd", passwd);

  const std::string dave = "home=\"" + long_home + "\" comment=\"" + gecos[1] + "\"";
  EXPECT_EQ(serve("search *\nlookup carol\ncheck carol Carol#1\nlookup dave\ncheck erin "
                  "Erin#1\nlookup fay\nquit\n"),
            (std::vector<std::string>{
                "+DATA carol home=\"" + homes + "/carol\"",
                "+DATA dave " + dave,
                "+DATA erin home=\"" + homes + "/erin\"",
                "+DATA fay home=\"" + homes + "/fay\"",
                "+OK 4 entries found.",
                "+OK carol config 0 home=\"" + homes + "/carol\"",
                "+OK carol config 0 home=\"" + homes + "/carol\"",
                "+OK dave config 0 " + dave,
                "+OK erin config 0 home=\"" + homes + "/erin\"",
                "+OK fay config 0 home=\"" + homes + "/fay\"",
                "+OK",
            }));
  const std::string log = read_text(root_.path / "ostrel.log");
  for (const char* line : {"ERROR Account carol: comment left out of the reply, longer than 511",
                           "ERROR Account dave: script left out of the reply, the line would",
                           "ERROR Account erin: comment left out of the reply, not valid text.",
                           "ERROR Account fay: comment left out of the reply, it holds a quote"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

}  // namespace
