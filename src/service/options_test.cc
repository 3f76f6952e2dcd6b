#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/log.h"
#include "service/service.h"
#include "settings/settings.h"

namespace {

// A null-terminated word array built from literals, as the process arguments are.
struct Words {
  explicit Words(std::vector<std::string> list) : text(std::move(list)) {
    for (std::string& word : text) pointers.push_back(word.data());
    pointers.push_back(nullptr);
  }
  char* const* get() { return pointers.data(); }
  int count() const { return static_cast<int>(text.size()); }
  std::vector<std::string> text;
  std::vector<char*> pointers;
};

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_service_for_tests();
    reset_log_for_tests();
    reset_settings_for_tests();
  }
  void TearDown() override {
    reset_log_for_tests();
    reset_settings_for_tests();
  }
};

TEST_F(OptionsTest, FindCommandIndexStepsOverOptions) {
  struct Case {
    std::vector<std::string> words;
    int index;
  };
  const Case cases[] = {
      {{"P", "check", "alice", "pw"}, 1},
      {{"P", "-debug", "check", "alice", "pw"}, 2},
      {{"P", "path", "d:\\mail", "lookup", "bob"}, 3},
      {{"P", "-path", "check", "lookup", "bob"}, 3},  // the value is taken whatever it is
      {{"P", "log", "info", "search", "a*"}, 3},
      {{"P", "log", "error", "search", "a*"}, 3},
      {{"P", "-log", "debug", "debug", "x"}, 4},
      {{"P", "-log", "search", "a*"}, 2},
      {{"P", "log", "INFO", "x"}, 2},  // level words are case-sensitive
      {{"P", "log_passwords", "check", "alice", "pw"}, 1},
      {{"P", "", "quit"}, 1},
      {{"P", "Debug", "quit"}, 1},
      {{"P", "debug"}, 2},
      {{"P", "path"}, 2},
      {{"P", "log"}, 2},
      {{"P", "path", "x", "log", "info", "-debug"}, 6},
      {{"P"}, 1},
      // Words that share an option's first letter or its dash are commands.
      {{"P", "lookup", "log"}, 1},
      {{"P", "-lookup", "bob"}, 1},
      {{"P", "del", "debug"}, 1},
      {{"P", "-", "path"}, 1},
      {{"P", "paths", "x"}, 1},
      {{"P", "-debug", "-log", "-path", "d", "-del", "bob"}, 5},
  };
  for (const Case& c : cases) {
    Words words(c.words);
    SCOPED_TRACE(::testing::PrintToString(c.words));
    EXPECT_EQ(find_command_index(words.get(), words.count()), c.index);
  }
  EXPECT_EQ(find_command_index(nullptr, 3), 0);
}

TEST_F(OptionsTest, PathOptionCountsOnlyBeforeTheCommandWord) {
  struct Case {
    std::vector<std::string> words;
    const char* before;  // work_path before the scan (null: none)
    const char* after;
  };
  const Case cases[] = {
      {{"P", "path", "/srv/mail", "check", "a", "b"}, nullptr, "/srv/mail"},
      {{"P", "-path", "/srv/mail"}, "/old", "/srv/mail"},
      {{"P", "log", "info", "path", "/x", "lookup", "a"}, nullptr, "/x"},
      {{"P", "path", "/one", "path", "/two", "quit"}, nullptr, "/one"},
      {{"P", "path"}, "/old", nullptr},  // the last word clears the work path
      {{"P", "-debug", "path"}, "/old", nullptr},
      {{"P", "check", "path", "/nonexistent"}, "/old", "/old"},  // a user named path
      {{"P", "check", "alice", "-path"}, "/old", "/old"},        // a password reading -path
      {{"P", "set", "path", "path", "home=\"/x\""}, nullptr, nullptr},
      {{"path", "/x", "quit"}, "/old", "/old"},  // the program path is no option
      {{"P", "quit"}, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    Words words(c.words);
    SCOPED_TRACE(::testing::PrintToString(c.words));
    if (c.before) {
      settings().work_path = c.before;
    } else {
      settings().work_path.reset();
    }
    const char* result = scan_path_option(words.get());
    if (c.after) {
      EXPECT_STREQ(result, c.after);
      EXPECT_EQ(settings().work_path, std::string(c.after));
    } else {
      EXPECT_EQ(result, nullptr);
      EXPECT_FALSE(settings().work_path.has_value());
    }
  }
  settings().work_path = "/kept";
  EXPECT_STREQ(scan_path_option(nullptr), "/kept");
}

TEST_F(OptionsTest, CommandLineOptionsSetLevelAndLogPasswords) {
  const std::string dir = ::testing::TempDir() + "ostrel-options-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  struct Case {
    std::vector<std::string> words;
    int level;
    int log_passwords;
  };
  const Case cases[] = {
      {{"ostrel", "check", "a", "b"}, LOG_NONE, 0},
      {{"ostrel", "log", "debug", "quit"}, LOG_DEBUG, 0},
      {{"ostrel", "-log", "info", "quit"}, LOG_INFO, 0},
      {{"ostrel", "log", "error", "quit"}, LOG_INFO, 0},
      {{"ostrel", "log", "elephant"}, LOG_INFO, 0},
      {{"ostrel", "log"}, LOG_INFO, 0},
      {{"ostrel", "debug", "quit"}, LOG_DEBUG, 0},
      {{"ostrel", "check", "a", "b", "log_passwords"}, LOG_NONE, 1},
      {{"ostrel", "-log_passwords", "log", "info"}, LOG_INFO, 1},
      {{"ostrel", "-debug", "log_passwords"}, LOG_DEBUG, 0},  // the scan ended at -debug
  };
  for (const Case& c : cases) {
    SetUp();
    Words words(c.words);
    SCOPED_TRACE(::testing::PrintToString(c.words));
    settings().work_path = dir;
    EXPECT_EQ(apply_command_line_options(words.get()), c.level);
    EXPECT_EQ(get_log_level(), c.level);
    EXPECT_EQ(settings().log_passwords, c.log_passwords);
    // A level opens the log in the work path; without one nothing is opened.
    EXPECT_EQ(log_is_open(), c.level != LOG_NONE);
    if (c.level != LOG_NONE) {
      EXPECT_EQ(std::string(log_path()), dir + "/ostrel.log");
    }
  }
  TearDown();
  std::filesystem::remove_all(dir);
}

}  // namespace
