#include "settings/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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
  std::ofstream(path, std::ios::binary) << text;
}

// Runs in a fresh directory; the system directory call fails, so the fallback is the
// built-in default.
class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_log_for_tests();
    reset_settings_for_tests();
    clear_negative_sent();
    platform_clear_faults();
    platform_inject_fault("GetSystemDirectoryW", 5);
    char pattern[] = "/tmp/ostrel-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fs::current_path(pattern);
  }
  void TearDown() override {
    reset_log_for_tests();
    reset_settings_for_tests();
    clear_negative_sent();
    platform_clear_faults();
    set_path_separator_for_tests('/');
    const fs::path dir = fs::current_path();
    fs::current_path(previous_);
    fs::remove_all(dir);
  }
  const fs::path previous_ = fs::current_path();
};

TEST(SettingsLine, KeywordAndValue) {
  struct Case {
    const char *line, *keyword, *value;
  };
  const Case cases[] = {
      {"host server1   \n", "host", "server1"},
      {"host server1   ", "host", "server1   "},
      {"log  debug\n", "log", " debug"},
      {"  \t path c:\\mail\r\n", "path", "c:\\mail"},
      {"host\tsrv\tx \t\n", "host", "srv\tx"},
      {"uname   \n", "uname", ""},
      {"uname", "uname", ""},
      {"path=c:\\x\n", "path=c:\\x", ""},
      {"  \t\r\n", nullptr, ""},
      {"", nullptr, ""},
  };
  for (const Case& c : cases) {
    std::string keyword, value;
    EXPECT_EQ(split_settings_line(c.line, &keyword, &value), c.keyword != nullptr) << c.line;
    EXPECT_EQ(keyword, c.keyword ? c.keyword : "") << c.line;
    EXPECT_EQ(value, c.value) << c.line;
  }
}

TEST_F(SettingsFile, KeywordsDefaultsAndRelease) {
  write_text("ostrel.ini",
             "group a\ngroup Mail Users\nscript_path sp\nhost server1   \npassword_file pw\n"
             "base_uid 1000\nuname\nhome_path hp\nscript one\nshell two\nshadow False\n"
             "shadow_file sf\nsp_expire 1\nsp_min 2\nsp_max 3\nsp_warn 4\nsp_inact 5\n"
             "log_passwords yes\naccount_db /var/lib/a.db\nGroup x\n#group y\nlog error\n"
             "ldap_base dc=a,dc=b\nldap_bind_dn cn=svc,dc=a,dc=b\nldap_bind_pw_file /etc/pw\nldap_ca_file /etc/ca.pem\n"
             "home_owner vmail\n");
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  const Settings& s = settings();
  const std::optional<std::string> expected[] = {
      "Mail Users", "sp", "server1", "pw", "1000", "",  "hp",           "two",
      "sf",         "1",  "2",       "3",  "4",    "5", "/var/lib/a.db"};
  const std::optional<std::string> read[] = {
      s.group,  s.script_path, s.host,    s.password_file, s.base_uid,
      s.uname,  s.home_path,   s.script,  s.shadow_file,   s.sp_expire,
      s.sp_min, s.sp_max,      s.sp_warn, s.sp_inact,      s.account_db};
  for (std::size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(read[i], expected[i]) << i;
  EXPECT_EQ(s.ldap_base, "dc=a,dc=b");
  EXPECT_EQ(s.ldap_bind_dn, "cn=svc,dc=a,dc=b");
  EXPECT_EQ(s.ldap_bind_pw_file, "/etc/pw");
  EXPECT_EQ(s.ldap_ca_file, "/etc/ca.pem");
  EXPECT_EQ(s.home_owner, "vmail");
  EXPECT_EQ(s.shadow, 1);
  EXPECT_EQ(s.log_passwords, 0);
  EXPECT_EQ(get_log_level(), LOG_ERROR);

  write_text("ostrel.ini", "shadow FALSE\nlog_passwords TRUE\ndebug anything\n");
  release_settings();
  EXPECT_FALSE(s.group || s.uname || s.host || s.account_db || s.ldap_base || s.ldap_bind_dn ||
               s.ldap_bind_pw_file || s.home_owner);
  ASSERT_EQ(load_settings("", "ostrel"), 1);
  EXPECT_EQ(s.group, "Guests");
  EXPECT_EQ(s.uname, "Ostrel 1.0g user");
  EXPECT_EQ(s.shadow, 0);
  EXPECT_EQ(s.log_passwords, 1);
  EXPECT_EQ(get_log_level(), LOG_DEBUG);
}

TEST_F(SettingsFile, LockoutValuesOutsideWindowsRangesAreIgnored) {
  write_text("ostrel.ini",
             "log debug\nlockout_threshold 5\nlockout_duration 0\nlockout_window 15\n"
             "lockout_threshold five\nlockout_threshold 1000\nlockout_duration -1\n"
             "lockout_window 0\nlockout_window 12345678901234567890\n");
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  EXPECT_EQ(settings().lockout_threshold, 5u);
  EXPECT_EQ(settings().lockout_duration, 0u);
  EXPECT_EQ(settings().lockout_window, 15u);
  const std::string log = read_text("init.log");
  EXPECT_NE(log.find("]DEBUG Lockout duration = 0 minutes\n"), std::string::npos) << log;
  EXPECT_NE(log.find("]DEBUG Lockout threshold {five} ignored: not a number from 0 to 999\n"),
            std::string::npos);
  EXPECT_NE(log.find("]DEBUG Lockout window {0} ignored: not a number from 1 to 99999\n"),
            std::string::npos);
}

TEST_F(SettingsFile, PathKeywordMovesTheLog) {
  fs::create_directory("work");
  const std::string work = fs::absolute("work").string();
  write_text("ostrel.ini", "log debug\npath " + work + "\nhost h\npath\n");
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  const std::string init = read_text("init.log");
  EXPECT_NE(init.find("]DEBUG Logging set to {debug}\n"), std::string::npos);
  EXPECT_NE(init.find("]INFO Ostrel version 1.0g ends.\n"), std::string::npos);
  const std::string moved = read_text("work/ostrel.log");
  const auto opening = moved.find("]DEBUG Opening [" + work + "/ostrel.log]\n");
  const auto workpath = moved.find("]DEBUG Workpath {" + work + "}\n");
  const auto host = moved.find("]DEBUG Host computer {h}\n");
  EXPECT_TRUE(opening < workpath && workpath < host && host != std::string::npos) << moved;
  // An empty path puts the log in the current directory.
  EXPECT_EQ(settings().work_path, "");
  EXPECT_STREQ(log_path(), "ostrel.log");

  // A dotted name is the settings file itself; the log never goes into it.
  write_text("custom.cfg", "path .\n");
  ASSERT_EQ(load_settings(".", "custom.cfg"), 1);
  EXPECT_EQ(read_text("custom.cfg"), "path .\n");
  EXPECT_STREQ(log_path(), "./custom.log");
}

TEST_F(SettingsFile, SystemDirectoryFallback) {
  // The Windows default directory is a plain file name in the current directory here.
  set_path_separator_for_tests('\\');
  write_text("c:\\winnt\\system32\\corvex.ini", "host fromfallback\n");
  set_log_level(LOG_DEBUG);
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  EXPECT_EQ(settings().host, "fromfallback");
  const std::string lines = read_text("init.log");
  for (const char* wanted :
       {"]DEBUG Unable to open {ostrel.ini,No such file or directory}\n",
        "]DEBUG Cannot get system directory, using default {c:\\winnt\\system32\\}\n",
        "]DEBUG Opened [c:\\winnt\\system32\\corvex.ini]\n"}) {
    EXPECT_NE(lines.find(wanted), std::string::npos) << wanted;
  }
}

TEST_F(SettingsFile, NeitherFileIsOneDeadReply) {
  if (fs::exists("/etc/corvex.ini")) GTEST_SKIP() << "/etc/corvex.ini exists here";
  testing::internal::CaptureStdout();
  EXPECT_EQ(load_settings(nullptr, "ostrel"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "-DEAD Unable to open {ostrel.ini} or {/etc/corvex.ini,No such file or directory}\n");
  EXPECT_FALSE(settings().group || settings().uname);

  // A settings path too long for a line is refused, not cut into another name.
  set_log_level(LOG_DEBUG);
  platform_inject_fault("GetSystemDirectoryW", 5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(load_settings(std::string(600, 'd').c_str(), "ostrel"), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(read_text("init.log").find("{" + std::string(511, 'd') + ",File name too long}"),
            std::string::npos);
}

TEST_F(SettingsFile, BinaryContentAndOverlongLines) {
  std::string text = "host " + std::string(600, 'a') + "\n" + std::string(100000, 'x') + "\n";
  for (int i = 0; i < 4096; ++i) text += static_cast<char>(i * 37 % 256);
  text += "\ngroup after binary\nbase_uid  ";
  text.push_back('\0');  // a NUL ends the line's text
  text += "tail\nuname  ends here  ";
  write_text("ostrel.ini", text);
  ASSERT_EQ(load_settings(nullptr, "ostrel"), 1);
  // Read in pieces of 511 characters: the first piece holds the value.
  EXPECT_EQ(settings().host, std::string(506, 'a'));
  EXPECT_EQ(settings().group, "after binary");
  EXPECT_EQ(settings().base_uid, " ");
  EXPECT_EQ(settings().uname, " ends here  ");
}

}  // namespace
