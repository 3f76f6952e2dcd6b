#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// "LEVEL message" for each line, after checking the time stamp and process id.
Lines messages(const std::string& text) {
  static const std::regex line(R"(^\d\d \d\d:\d\d:\d\d \d{4}:\[-?\d+\](\w+) (.*)$)");
  Lines out;
  std::istringstream in(text);
  std::string each;
  std::smatch m;
  while (std::getline(in, each))
    out.push_back(std::regex_match(each, m, line) ? m[1].str() + " " + m[2].str() : "?" + each);
  return out;
}

// Runs in a fresh directory with the log at its start state.
class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_log_for_tests();
    char pattern[] = "/tmp/ostrel-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fs::current_path(pattern);
  }
  void TearDown() override {
    reset_log_for_tests();
    const fs::path dir = fs::current_path();
    fs::current_path(previous_);
    fs::remove_all(dir);
  }
  const fs::path previous_ = fs::current_path();
};

TEST_F(Log, FallbackLevelsAndEcho) {
  set_echo_to_stdout(1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(log_error("nothing before a level"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists("init.log"));

  set_echo_to_stdout(0);
  set_log_level(LOG_DEBUG);
  EXPECT_EQ(log_info("pending %s", "line"), 1);
  EXPECT_STREQ(log_path(), "init.log");
  EXPECT_EQ(
      messages(read_text("init.log")),
      (Lines{"DEBUG Opening [init.log]", "INFO Ostrel version 1.0g starts.", "INFO pending line"}));

  set_log_level(LOG_INFO);
  set_echo_to_stdout(1);
  testing::internal::CaptureStdout();
  log_debug("below");
  log_error("above");
  EXPECT_EQ(messages(testing::internal::GetCapturedStdout()),
            (Lines{"DEBUG below", "ERROR above"}));
  EXPECT_EQ(messages(read_text("init.log")).back(), "ERROR above");

  parse_log_level(nullptr);  // no word: unchanged
  EXPECT_EQ(get_log_level(), LOG_INFO);
  parse_log_level("DEBUG");
  EXPECT_EQ(get_log_level(), LOG_INFO);
}

TEST_F(Log, OpeningNamesAndReopening) {
  fs::create_directory("work");
  EXPECT_EQ(log_open("", "first"), 1);
  EXPECT_EQ(get_log_level(), LOG_INFO);  // raised from none
  set_log_level(LOG_DEBUG);
  log_open("work", "my prog");
  log_open("work", "x.txt");
  const Lines first = messages(read_text("first.log"));
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[1], "INFO Ostrel version 1.0g ends.");
  EXPECT_EQ(first[2].rfind("DEBUG fclose called on (", 0), 0u);
  EXPECT_EQ(messages(read_text("work/my_prog.log"))[0], "DEBUG Opening [work/my_prog.log]");
  EXPECT_STREQ(log_path(), "work/x.txt");

  set_log_level(LOG_ERROR);  // stays: no start or end lines
  log_open(nullptr, "quiet");
  EXPECT_EQ(log_close(), 1);
  EXPECT_EQ(log_close(), 1);
  EXPECT_EQ(read_text("quiet.log"), "");
  EXPECT_EQ(get_log_level(), LOG_ERROR);
}

TEST_F(Log, MessagesEndInExactlyOneNewline) {
  log_open(nullptr, "m");
  log_info("has newline\n");
  log_info("%s", "");
  log_info("%s", std::string(5000, 'x').c_str());
  const std::string text = read_text("m.log");
  EXPECT_NE(text.find("]INFO has newline\n"), std::string::npos);
  EXPECT_EQ(text.find("has newline\n\n"), std::string::npos);
  EXPECT_NE(text.find("]INFO \n"), std::string::npos);
  EXPECT_NE(text.find(" " + std::string(1022, 'x') + "\n"), std::string::npos);  // cut to fit
  EXPECT_EQ(text.find(std::string(1023, 'x')), std::string::npos);
}

TEST_F(Log, WrittenLinesCarryStampPidAndLevelWhole) {
  log_open(nullptr, "w");
  set_log_level(LOG_DEBUG);
  const std::string long_text = std::string(3000, 'y') + "\n";  // beyond any message buffer
  log_write(long_text.c_str(), LOG_INFO);
  log_error("e%d", 1);
  log_debug("d");
  const std::string text = read_text("w.log");
  const Lines lines = messages(text);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "INFO " + std::string(3000, 'y'));
  EXPECT_EQ(lines[2], "ERROR e1");
  EXPECT_EQ(lines[3], "DEBUG d");
  EXPECT_NE(text.find(":[" + std::to_string(getpid()) + "]ERROR e1\n"), std::string::npos);
}

TEST_F(Log, LoggedOpenAndClose) {
  set_log_level(LOG_DEBUG);
  log_open(nullptr, "f");
  EXPECT_EQ(open_file(nullptr, "r"), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(close_file(nullptr), 1);
  EXPECT_EQ(open_file("missing/x.ini", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);  // kept through the logging for the caller's message
  const Lines lines = messages(read_text("f.log"));
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"ERROR fopen called on NULL", "DEBUG fclose on NULL",
                   "DEBUG fopen called on (missing/x.ini) with style (r) gives FILE * (0)"}));

  // A close that fails (its descriptor taken away) leaves no stale stream behind.
  const fs::path target = fs::canonical("f.log");
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path(), ignored) == target)
      ::close(std::stoi(entry.path().filename().string()));
  }
  EXPECT_EQ(log_close(), 0);
  EXPECT_FALSE(log_is_open());
  log_info("after");
  EXPECT_EQ(messages(read_text("init.log")).back(), "INFO after");
}

// The stamp is the local time of the line, also when lines of one second share its text
// and when the next second begins.
TEST(LogTimestamp, FollowsTheLocalClock) {
  const auto local_text = [](std::time_t at) {
    std::tm local{};
    localtime_r(&at, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d %H:%M:%S %Y", &local);
    return std::string(text);
  };
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3; ++i) {
      const std::time_t before = std::time(nullptr);
      const std::string stamp = log_timestamp();
      const std::time_t after = std::time(nullptr);
      EXPECT_TRUE(stamp == local_text(before) || stamp == local_text(after)) << stamp;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  }
}

using LogDeathTest = Log;

// The statement runs in a child whose standard output goes to stdout.txt.
#define EXPECT_ENDS_WITH_STATUS_1(statement)                                 \
  EXPECT_EXIT(                                                               \
      {                                                                      \
        ::dup2(::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600), 1); \
        statement;                                                           \
      },                                                                     \
      ::testing::ExitedWithCode(1), "")

TEST_F(LogDeathTest, NoLogEndsTheProcessWithStatusOne) {
  EXPECT_ENDS_WITH_STATUS_1(log_open("no/such/dir", "ostrel"));
  EXPECT_EQ(read_text("stdout.txt"),
            "-DEAD Unable to create log file {no/such/dir/ostrel.log,No such file or directory}\n");

  set_log_level(LOG_INFO);
  log_info("into init.log");
  log_close();
  EXPECT_ENDS_WITH_STATUS_1(log_info("nowhere"));
  EXPECT_EQ(read_text("stdout.txt"), "");
  set_echo_to_stdout(1);
  EXPECT_ENDS_WITH_STATUS_1(log_error("lost %d", 7));
  EXPECT_TRUE(std::regex_match(read_text("stdout.txt"),
                               std::regex(R"(-DEAD, no log file to log this to:  \d\d [\d:]{8} )"
                                          R"(\d{4}:\[-?\d+\]ERROR lost 7\n)")));
}

}  // namespace
