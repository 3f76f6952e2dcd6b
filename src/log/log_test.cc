#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// Messages of the log lines in a text, with the time stamp and process id checked.
std::vector<std::string> messages(const std::string& text) {
  static const std::regex line(R"(^\d\d \d\d:\d\d:\d\d \d{4}:\[-?\d+\](ERROR|INFO|DEBUG) (.*)$)");
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string each;
  while (std::getline(in, each)) {
    std::smatch m;
    if (std::regex_match(each, m, line)) {
      out.push_back(m[1].str() + " " + m[2].str());
    } else {
      out.push_back("UNPARSED " + each);
    }
  }
  return out;
}

class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_log_for_tests();
    previous_ = fs::current_path();
    char pattern[] = "/tmp/ostrel-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::current_path(dir_);
  }
  void TearDown() override {
    reset_log_for_tests();
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  std::vector<std::string> file_lines(const fs::path& name) {
    return messages(read_text(dir_ / name));
  }

  fs::path previous_;
  fs::path dir_;
};

using Lines = std::vector<std::string>;

TEST_F(Log, NothingHappensBeforeALevelIsSet) {
  set_echo_to_stdout(1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(log_error("e %d", 1), 0);
  EXPECT_EQ(log_info("i"), 0);
  EXPECT_EQ(log_debug("d"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists(dir_ / "init.log"));
  EXPECT_FALSE(log_is_open());
}

TEST_F(Log, FirstLineOpensInitLogInTheCurrentDirectory) {
  set_log_level(LOG_DEBUG);
  EXPECT_EQ(log_info("pending %s", "line"), 1);
  EXPECT_TRUE(log_is_open());
  EXPECT_STREQ(log_path(), "init.log");
  EXPECT_EQ(
      file_lines("init.log"),
      (Lines{"DEBUG Opening [init.log]", "INFO Ostrel version 1.0g starts.", "INFO pending line"}));
}

TEST_F(Log, LevelDecidesWhatReachesTheFileAndEchoShowsEverything) {
  set_log_level(LOG_INFO);
  log_open(nullptr, "ostrel");
  set_echo_to_stdout(1);
  testing::internal::CaptureStdout();
  log_debug("below");
  log_error("above");
  const std::string echoed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(messages(echoed), (Lines{"DEBUG below", "ERROR above"}));
  EXPECT_EQ(file_lines("ostrel.log"), (Lines{"INFO Ostrel version 1.0g starts.", "ERROR above"}));

  set_echo_to_stdout(0);
  set_log_level(LOG_ERROR);
  testing::internal::CaptureStdout();
  log_info("quiet");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(file_lines("ostrel.log").size(), 2u);
}

TEST_F(Log, LogFileNames) {
  fs::create_directory(dir_ / "work");
  const std::string work = (dir_ / "work").string();
  struct Case {
    const char* directory;
    const char* name;
    fs::path expected;
  };
  const Case cases[] = {
      {nullptr, "init.log", "init.log"},
      {nullptr, "ostrel", "ostrel.log"},
      {"", "ostrel", "ostrel.log"},
      {work.c_str(), "ostrel", "work/ostrel.log"},
      {work.c_str(), "my prog", "work/my_prog.log"},
      {work.c_str(), "x.txt", "work/x.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(log_open(c.directory, c.name), 1);
    EXPECT_TRUE(fs::exists(dir_ / c.expected)) << c.expected;
    EXPECT_EQ(fs::path(log_path()).filename(), c.expected.filename());
  }
}

TEST_F(Log, ReopeningEndsTheOldFileAndStartsTheNew) {
  set_log_level(LOG_DEBUG);
  log_open(nullptr, "first");
  log_info("one");
  log_open(nullptr, "second");
  const Lines first = file_lines("first.log");
  ASSERT_EQ(first.size(), 5u);
  EXPECT_EQ(first[2], "INFO one");
  EXPECT_EQ(first[3], "INFO Ostrel version 1.0g ends.");
  EXPECT_TRUE(std::regex_match(first[4], std::regex(R"(DEBUG fclose called on \(\d+\))")));
  EXPECT_EQ(file_lines("second.log"),
            (Lines{"DEBUG Opening [second.log]", "INFO Ostrel version 1.0g starts."}));

  // Appending across runs: earlier contents stay.
  EXPECT_EQ(log_close(), 1);
  EXPECT_EQ(log_close(), 1);
  log_open(nullptr, "first");
  EXPECT_EQ(file_lines("first.log").size(), 7u);
}

TEST_F(Log, OpeningRaisesOnlyAMissingLevel) {
  log_open(nullptr, "a");
  EXPECT_EQ(get_log_level(), LOG_INFO);
  reset_log_for_tests();
  set_log_level(LOG_ERROR);
  log_open(nullptr, "b");
  EXPECT_EQ(get_log_level(), LOG_ERROR);
  log_close();
  EXPECT_EQ(read_text(dir_ / "b.log"), "");
}

TEST_F(Log, MessagesEndInExactlyOneNewline) {
  set_log_level(LOG_INFO);
  log_open(nullptr, "m");
  log_info("has newline\n");
  log_info("%s", "");
  log_info("%s", std::string(5000, 'x').c_str());
  const std::string text = read_text(dir_ / "m.log");
  EXPECT_NE(text.find("]INFO has newline\n"), std::string::npos);
  EXPECT_EQ(text.find("has newline\n\n"), std::string::npos);
  EXPECT_NE(text.find("]INFO \n"), std::string::npos);
  // Cut to 1022 characters and its newline.
  EXPECT_NE(text.find(" " + std::string(1022, 'x') + "\n"), std::string::npos);
  EXPECT_EQ(text.find(std::string(1023, 'x')), std::string::npos);
}

TEST_F(Log, LineParts) {
  const std::string stamp = log_timestamp();
  ASSERT_EQ(stamp.size(), 16u);
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d\d \d\d:\d\d:\d\d \d{4})")));
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char day[3];
  std::strftime(day, sizeof day, "%d", &local);
  EXPECT_EQ(stamp.substr(0, 2), day);

  EXPECT_STREQ(level_name(LOG_ERROR), "ERROR");
  EXPECT_STREQ(level_name(LOG_INFO), "INFO");
  EXPECT_STREQ(level_name(LOG_DEBUG), "DEBUG");
  EXPECT_STREQ(level_name(0), "INFO");
  EXPECT_STREQ(level_name(7), "INFO");
  EXPECT_EQ(process_id(), process_id());
}

TEST_F(Log, ParseLogLevel) {
  struct Case {
    const char* word;
    int level;
  };
  const Case cases[] = {{"debug", LOG_DEBUG}, {"error", LOG_ERROR}, {"info", LOG_INFO},
                        {"DEBUG", LOG_INFO},  {"", LOG_INFO},       {" debug", LOG_INFO}};
  for (const Case& c : cases) {
    set_log_level(LOG_NONE);
    parse_log_level(c.word);
    EXPECT_EQ(get_log_level(), c.level) << c.word;
  }
  set_log_level(LOG_ERROR);
  parse_log_level(nullptr);
  EXPECT_EQ(get_log_level(), LOG_ERROR);
}

TEST_F(Log, OpenAndCloseFilesAreLogged) {
  set_log_level(LOG_DEBUG);
  log_open(nullptr, "f");
  errno = 5;
  EXPECT_EQ(open_file(nullptr, "r"), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(close_file(nullptr), 1);

  errno = 0;
  EXPECT_EQ(open_file("missing/x.ini", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);  // kept for the caller's message

  std::FILE* made = open_file("made.txt", "w");
  ASSERT_NE(made, nullptr);
  const int fd = fileno(made);
  EXPECT_EQ(close_file(made), 0);

  const Lines lines = file_lines("f.log");
  const Lines tail(lines.end() - 5, lines.end());
  EXPECT_EQ(tail, (Lines{"ERROR fopen called on NULL", "DEBUG fclose on NULL",
                         "DEBUG fopen called on (missing/x.ini) with style (r) gives FILE * (0)",
                         "DEBUG fopen called on (made.txt) with style (w) gives FILE * (" +
                             std::to_string(fd) + ")",
                         "DEBUG fclose called on (" + std::to_string(fd) + ")"}));
}

TEST_F(Log, FailedCloseLeavesNoStaleStream) {
  set_log_level(LOG_INFO);
  log_open(nullptr, "broken");
  // Take the descriptor away under the stream, so that closing it fails.
  const fs::path target = fs::canonical(dir_ / "broken.log");
  int closed = -1;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path(), ignored) == target) {
      closed = std::stoi(entry.path().filename().string());
    }
  }
  ASSERT_GE(closed, 0);
  ASSERT_EQ(::close(closed), 0);
  EXPECT_EQ(log_close(), 0);
  EXPECT_FALSE(log_is_open());
  // The next line goes to the fallback instead of the closed stream.
  log_info("after");
  EXPECT_EQ(file_lines("init.log").back(), "INFO after");
}

using LogDeathTest = Log;

TEST_F(LogDeathTest, UncreatableLogEndsWithStatusOne) {
  EXPECT_EXIT(
      {
        const int out = ::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        log_open("no/such/dir", "ostrel");
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(read_text(dir_ / "stdout.txt"),
            "-DEAD Unable to create log file {no/such/dir/ostrel.log,No such file or directory}\n");
}

TEST_F(LogDeathTest, LineWithNoLogAfterTheFallbackEndsWithStatusOne) {
  set_log_level(LOG_INFO);
  log_info("into init.log");
  log_close();
  EXPECT_EXIT(log_info("nowhere"), ::testing::ExitedWithCode(1), "");
  set_echo_to_stdout(1);
  EXPECT_EXIT(
      {
        const int out = ::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        log_error("lost %d", 7);
      },
      ::testing::ExitedWithCode(1), "");
  const std::string printed = read_text(dir_ / "stdout.txt");
  EXPECT_TRUE(std::regex_match(
      printed,
      std::regex(
          R"(-DEAD, no log file to log this to:  \d\d [\d:]{8} \d{4}:\[-?\d+\]ERROR lost 7\n)")))
      << printed;
  // Opening a named log still works after the fallback was used.
  set_echo_to_stdout(0);
  EXPECT_EQ(log_open(nullptr, "later"), 1);
  EXPECT_EQ(log_info("fine"), 1);
}

}  // namespace
