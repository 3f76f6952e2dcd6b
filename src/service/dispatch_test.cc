#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "service/service.h"
#include "settings/settings.h"

namespace {

namespace fs = std::filesystem;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_service_for_tests();
    reset_log_for_tests();
    reset_settings_for_tests();
    dir_ = fs::path(::testing::TempDir()) / ("ostrel-dispatch-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    reset_log_for_tests();
    reset_settings_for_tests();
    reset_service_for_tests();
    fs::remove_all(dir_);
  }

  // Tokenizes and dispatches one line; returns what reached standard output.
  static std::string run(const std::string& line) {
    ArgVector command = tokenize_line(line.c_str(), "/usr/sbin/ostrel");
    ::testing::internal::CaptureStdout();
    dispatch_command(command.words.data(), command.count);
    clear_negative_sent();
    return ::testing::internal::GetCapturedStdout();
  }

  static std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path dir_;
};

const char kHelp[] =
    "+DATA Valid commands\n"
    "+DATA   set <user> <pass>|(NULL) home=\"<dir>\" script=\"<file>\" comment=\"<text>\"\n"
    "+DATA   del <user>\n"
    "+DATA   check <user> <pass>\n"
    "+DATA   lookup <user>\n"
    "+DATA   version <text>\n"
    "+DATA   help\n"
    "+DATA   quit\n"
    "+DATA   exit\n"
    "+OK\n";

TEST_F(DispatchTest, BuiltInCommandsAndUnknownWords) {
  struct Case {
    std::string line;
    std::string output;
    int keep_running;  // after the command, starting from 1
  };
  const Case cases[] = {
      {"help\n", kHelp, 1},
      {"-help with words\n", kHelp, 1},
      {"version\n", "+OK Ostrel version 1.0g\n", 1},
      {"-version anything at all\n", "+OK Ostrel version 1.0g\n", 1},
      {"quit\n", "+OK\n", 0},
      {"exit\n", "+OK\n", 0},
      {"-quit\n", "-ERR Not a valid command (-quit) use \"help\"\n", 1},
      {"-exit\n", "-ERR Not a valid command (-exit) use \"help\"\n", 1},
      {"QUIT\n", "-ERR Not a valid command (QUIT) use \"help\"\n", 1},
      {"Help\n", "-ERR Not a valid command (Help) use \"help\"\n", 1},
      {" quit\n", "-ERR Not a valid command () use \"help\"\n", 1},
      {"log_passwords check a b\n", "-ERR Not a valid command (log_passwords) use \"help\"\n", 1},
      {"-debug log info version\n", "+OK Ostrel version 1.0g\n", 1},
      {"\r\n", "", 1},
      {"-debug\n", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    set_keep_running(1);
    EXPECT_EQ(run(c.line), c.output);
    EXPECT_EQ(keep_running(), c.keep_running);
  }
}

TEST_F(DispatchTest, OptionsOnlyKeepTheRunGoing) {
  set_keep_running(0);
  EXPECT_EQ(run("log debug\n"), "");
  EXPECT_EQ(keep_running(), 1);
}

TEST_F(DispatchTest, MissingFirstArgumentGivesTheHelpListing) {
  for (const char* line : {"set\n", "del\n", "check\n", "lookup\n", "-search\n"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(run(line), kHelp);
  }
}

TEST_F(DispatchTest, PathOptionMovesTheLogBeforeTheCommand) {
  const fs::path first = dir_ / "first";
  const fs::path second = dir_ / "second";
  fs::create_directories(first);
  fs::create_directories(second);
  set_log_level(LOG_DEBUG);
  log_open(dir_.c_str(), "ostrel");  // a log is open already, so nothing goes to init.log

  EXPECT_EQ(run("path " + first.string() + " version\n"), "+OK Ostrel version 1.0g\n");
  EXPECT_EQ(settings().work_path, first.string());
  EXPECT_EQ(fs::path(log_path()), first / "ostrel.log");

  // The same directory again changes nothing; a command argument "path" is data.
  EXPECT_EQ(run("-path " + first.string() + " help\n"), kHelp);
  EXPECT_EQ(run("version path " + second.string() + "\n"), "+OK Ostrel version 1.0g\n");
  EXPECT_EQ(fs::path(log_path()), first / "ostrel.log");
  EXPECT_FALSE(fs::exists(second / "ostrel.log"));

  EXPECT_EQ(run("path " + second.string() + " version\n"), "+OK Ostrel version 1.0g\n");
  EXPECT_EQ(fs::path(log_path()), second / "ostrel.log");
  const std::string old_log = read_file(first / "ostrel.log");
  EXPECT_NE(old_log.find("Ostrel version 1.0g ends."), std::string::npos);
  const std::string new_log = read_file(second / "ostrel.log");
  EXPECT_NE(new_log.find("Ostrel version 1.0g starts."), std::string::npos);
  EXPECT_NE(new_log.find("Command {3}"), std::string::npos);
  EXPECT_NE(new_log.find("Function? {version}"), std::string::npos);

  // "path" as the last word clears the work path and leaves the log where it is.
  EXPECT_EQ(run("path\n"), "");
  EXPECT_FALSE(settings().work_path.has_value());
  EXPECT_EQ(fs::path(log_path()), second / "ostrel.log");
}

TEST_F(DispatchTest, PathWhereNoLogCanBeMadeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string missing = (dir_ / "no" / "such" / "dir").string();
  EXPECT_EXIT(run("path " + missing + " version\n"), ::testing::ExitedWithCode(1), "");
}

}  // namespace
