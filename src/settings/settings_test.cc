#include "settings/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "settings/settings_internal.h"

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// The messages of a log file, without time stamp and process id.
std::vector<std::string> log_messages(const fs::path& path) {
  std::istringstream in(read_text(path));
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    const auto bracket = line.find(']');
    out.push_back(bracket == std::string::npos ? line : line.substr(bracket + 1));
  }
  return out;
}

bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
  for (const std::string& line : lines)
    if (line == wanted) return true;
  return false;
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_log_for_tests();
    reset_settings_for_tests();
    clear_negative_sent();
    platform_clear_faults();
    separator_ = path_separator();
    previous_ = fs::current_path();
    char pattern[] = "/tmp/ostrel-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::current_path(dir_);
  }
  void TearDown() override {
    reset_log_for_tests();
    reset_settings_for_tests();
    clear_negative_sent();
    platform_clear_faults();
    set_path_separator_for_tests(separator_);
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }

  fs::path previous_;
  fs::path dir_;
  char separator_ = '/';
};

TEST(SettingsLine, KeywordAndValue) {
  struct Case {
    const char* line;
    bool has_keyword;
    const char* keyword;
    const char* value;
  };
  const Case cases[] = {
      {"host server1   \n", true, "host", "server1"},
      {"host server1   ", true, "host", "server1   "},  // last line, no newline
      {"log  debug\n", true, "log", " debug"},
      {"  \t path c:\\mail\r\n", true, "path", "c:\\mail"},
      {"host\tsrv\tx \t\n", true, "host", "srv\tx"},
      {"uname\n", true, "uname", ""},
      {"uname   \n", true, "uname", ""},
      {"uname", true, "uname", ""},
      {"path=c:\\x\n", true, "path=c:\\x", ""},
      {"# comment here\n", true, "#", "comment here"},
      {"\n", false, "", ""},
      {"  \t\r\n", false, "", ""},
      {"", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string keyword = "stale", value = "stale";
    EXPECT_EQ(split_settings_line(c.line, &keyword, &value), c.has_keyword) << c.line;
    EXPECT_EQ(keyword, c.keyword) << c.line;
    EXPECT_EQ(value, c.value) << c.line;
  }
}

TEST_F(SettingsFile, EveryKeywordIsStored) {
  write_text("ostrel.ini",
             "group Mail Users\n"
             "script_path c:\\scripts\n"
             "host server1   \n"
             "password_file pw\n"
             "base_uid 1000\n"
             "uname Mail user\n"
             "home_path c:\\home\n"
             "script one.cmd\n"
             "shell two.cmd\n"
             "shadow FALSE\n"
             "shadow_file sf\n"
             "sp_expire 1\n"
             "sp_min 2\n"
             "sp_max 3\n"
             "sp_warn 4\n"
             "sp_inact 5\n"
             "log_passwords TRUE\n"
             "account_db /var/lib/ostrel/accounts.db\n"
             "unknown word\n"
             "log error\n");
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  const Settings& s = settings();
  EXPECT_EQ(s.group, "Mail Users");
  EXPECT_EQ(s.script_path, "c:\\scripts");
  EXPECT_EQ(s.host, "server1");
  EXPECT_EQ(s.password_file, "pw");
  EXPECT_EQ(s.base_uid, "1000");
  EXPECT_EQ(s.uname, "Mail user");
  EXPECT_EQ(s.home_path, "c:\\home");
  EXPECT_EQ(s.script, "two.cmd");
  EXPECT_EQ(s.shadow, 0);
  EXPECT_EQ(s.shadow_file, "sf");
  EXPECT_EQ(s.sp_expire, "1");
  EXPECT_EQ(s.sp_min, "2");
  EXPECT_EQ(s.sp_max, "3");
  EXPECT_EQ(s.sp_warn, "4");
  EXPECT_EQ(s.sp_inact, "5");
  EXPECT_EQ(s.log_passwords, 1);
  EXPECT_EQ(s.account_db, "/var/lib/ostrel/accounts.db");
  EXPECT_FALSE(s.work_path);
  EXPECT_EQ(get_log_level(), LOG_ERROR);

  release_settings();
  EXPECT_FALSE(s.group);
  EXPECT_FALSE(s.host);
  EXPECT_FALSE(s.account_db);
  EXPECT_FALSE(s.uname);
}

TEST_F(SettingsFile, DefaultsAndValueRules) {
  struct Case {
    const char* text;
    const char* group;
    const char* uname;
    int shadow;
    int log_passwords;
  };
  const Case cases[] = {
      {"", "Guests", "Ostrel 1.0g user", 1, 0},
      {"group a\ngroup b\n", "b", "Ostrel 1.0g user", 1, 0},
      {"uname\n", "Guests", "", 1, 0},
      {"shadow False\nlog_passwords yes\n", "Guests", "Ostrel 1.0g user", 1, 0},
      {"shadow false\nlog_passwords true\n", "Guests", "Ostrel 1.0g user", 0, 1},
      {"Group x\npath=c:\\x\n#group y\n", "Guests", "Ostrel 1.0g user", 1, 0},
  };
  for (const Case& c : cases) {
    reset_settings_for_tests();
    write_text("ostrel.ini", c.text);
    ASSERT_EQ(load_settings("", "ostrel"), 1) << c.text;
    EXPECT_EQ(settings().group, c.group) << c.text;
    EXPECT_EQ(settings().uname, c.uname) << c.text;
    EXPECT_EQ(settings().shadow, c.shadow) << c.text;
    EXPECT_EQ(settings().log_passwords, c.log_passwords) << c.text;
    EXPECT_FALSE(settings().work_path) << c.text;
  }
  EXPECT_FALSE(log_is_open());
  EXPECT_EQ(get_log_level(), LOG_NONE);
}

TEST_F(SettingsFile, LogLevelKeywords) {
  struct Case {
    const char* text;
    int level;
  };
  const Case cases[] = {
      {"log debug\n", LOG_DEBUG}, {"log  debug\n", LOG_INFO},
      {"log DEBUG\n", LOG_INFO},  {"debug anything at all\n", LOG_DEBUG},
      {"log error\n", LOG_ERROR}, {"log\n", LOG_INFO},
  };
  for (const Case& c : cases) {
    reset_log_for_tests();
    write_text("ostrel.ini", c.text);
    ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
    EXPECT_EQ(get_log_level(), c.level) << c.text;
  }
}

TEST_F(SettingsFile, PathKeywordMovesTheLog) {
  fs::create_directory("work");
  const std::string work = (dir_ / "work").string();
  write_text("ostrel.ini", "log debug\npath " + work + "\nhost h\npath\n");
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);

  const auto init = log_messages("init.log");
  ASSERT_GE(init.size(), 3u);
  EXPECT_EQ(init[2], "DEBUG Logging set to {debug}");
  EXPECT_EQ(init.back().rfind("DEBUG fclose called on (", 0), 0u);
  EXPECT_EQ(init[init.size() - 2], "INFO Ostrel version 1.0g ends.");

  const auto moved = log_messages("work/ostrel.log");
  ASSERT_GE(moved.size(), 4u);
  EXPECT_EQ(moved[0], "DEBUG Opening [" + work + "/ostrel.log]");
  EXPECT_EQ(moved[1], "INFO Ostrel version 1.0g starts.");
  EXPECT_EQ(moved[2], "DEBUG Workpath {" + work + "}");
  EXPECT_EQ(moved[3], "DEBUG Host computer {h}");

  // An empty path puts the log in the current directory.
  EXPECT_EQ(settings().work_path, "");
  EXPECT_STREQ(log_path(), "ostrel.log");
  EXPECT_TRUE(contains(log_messages("ostrel.log"), "DEBUG Workpath {}"));
}

TEST_F(SettingsFile, DottedNameIsTheFileAndNeverTheLog) {
  write_text("custom.cfg", "path " + dir_.string() + "\ngroup g\n");
  const std::string before = read_text("custom.cfg");
  ASSERT_EQ(load_settings(dir_.string().c_str(), "custom.cfg"), 1);
  EXPECT_EQ(settings().group, "g");
  EXPECT_EQ(read_text("custom.cfg"), before);
  EXPECT_TRUE(fs::exists("custom.log"));
}

TEST_F(SettingsFile, SystemDirectoryFallback) {
  // The Windows default directory, as a file name in the current directory on this build.
  set_path_separator_for_tests('\\');
  write_text("c:\\winnt\\system32\\corvex.ini", "host fromfallback\n");
  set_log_level(LOG_DEBUG);
  platform_inject_fault("GetSystemDirectoryW", 5);
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  EXPECT_EQ(settings().host, "fromfallback");
  const auto lines = log_messages("init.log");
  EXPECT_TRUE(contains(lines, "DEBUG Unable to open {ostrel.ini,No such file or directory}"));
  EXPECT_TRUE(contains(lines,
                       "DEBUG Cannot get system directory, using default "
                       "{c:\\winnt\\system32\\}"));
  EXPECT_TRUE(contains(lines, "DEBUG Opened [c:\\winnt\\system32\\corvex.ini]"));
  EXPECT_EQ(negative_sent(), 0);
}

TEST_F(SettingsFile, NeitherFileIsOneDeadReply) {
  if (fs::exists("/etc/corvex.ini")) GTEST_SKIP() << "/etc/corvex.ini exists on this machine";
  platform_inject_fault("GetSystemDirectoryW", 5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(load_settings(nullptr, "ostrel"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "-DEAD Unable to open {ostrel.ini} or {/etc/corvex.ini,No such file or directory}\n");
  EXPECT_FALSE(settings().group);
  EXPECT_FALSE(settings().uname);

  // A settings path too long for a line is refused rather than cut into another name.
  clear_negative_sent();
  set_log_level(LOG_DEBUG);
  const std::string deep(600, 'd');
  platform_inject_fault("GetSystemDirectoryW", 5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(load_settings(deep.c_str(), "ostrel"), 0);
  testing::internal::GetCapturedStdout();
  const auto lines = log_messages("init.log");
  EXPECT_TRUE(
      contains(lines, "DEBUG Unable to open {" + std::string(511, 'd') + ",File name too long}"));
}

TEST_F(SettingsFile, BinaryContentAndOverlongLines) {
  std::string text = "host ";
  text += std::string(600, 'a');
  text += "\n";
  text += std::string(100000, 'x');
  text += "\n";
  for (int i = 0; i < 4096; ++i) text += static_cast<char>(i * 37 % 256);
  text += "\ngroup after binary\nbase_uid  ";
  text.push_back('\0');  // a NUL ends the line's text
  text += "tail\nuname  ends here  ";
  write_text("ostrel.ini", text);
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  // The overlong line is read in pieces of 511 characters; its first piece is the value.
  EXPECT_EQ(settings().host, std::string(506, 'a'));
  EXPECT_EQ(settings().group, "after binary");
  EXPECT_EQ(settings().base_uid, " ");
  EXPECT_EQ(settings().uname, " ends here  ");
}

}  // namespace
