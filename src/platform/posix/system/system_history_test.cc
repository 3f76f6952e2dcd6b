// The password history of the host's accounts, kept in the history file pam_pwhistory
// writes (security/opasswd beside scratch copies of the account files).
#include <crypt.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

class SystemHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrel-history-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::create_directories(dir_ + "/etc/security");
    write("passwd", "root:x:0:0:root:/root:/bin/bash\n");
    write("shadow", "root:*:19000:0:99999:7:::\n");
    write("group", "root:x:0:\n");
    const std::string passwd = file("passwd"), shadow = file("shadow");
    PlatformSystemOptions options;
    options.password_file = passwd.c_str();
    options.shadow_file = shadow.c_str();
    options.base_uid = "1000";
    platform_set_system_options(options);
    platform_set_account_db("system");
    platform_set_password_policy({0, false, 3, nullptr});
  }
  void TearDown() override {
    platform_set_password_policy(PlatformPasswordPolicy{});
    platform_set_system_options(PlatformSystemOptions{});
    platform_set_account_db("");
    std::filesystem::remove_all(dir_);
  }
  std::string file(const char* name) const { return dir_ + "/etc/" + name; }
  void write(const char* name, const std::string& text) {
    std::ofstream(file(name)) << text;
    chmod(file(name).c_str(), 0600);
  }
  std::string read(const char* name) const {
    std::ifstream in(file(name));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  DWORD change(const char* password) {
    Record r = record("alice", password);
    r.bytes();
    DWORD parm = 0, removal = 0;
    return platform_replace_user(nullptr, &r.info, &parm, &removal);
  }
  std::string dir_;
};

TEST_F(SystemHistoryTest, FormerPasswordsAreKeptAsPamPwhistoryWritesThem) {
  ASSERT_EQ(add(record("alice", "Pass-1")), 0u);
  const struct {
    const char* password;
    DWORD expected;
    int kept;  // former hashes on alice's line
  } steps[] = {
      {"Pass-1", NERR_PasswordTooShort, -1},
      {"Pass-2", 0, 1},
      {"Pass-3", 0, 2},
      {"Pass-1", NERR_PasswordTooShort, 2},
      {"Pass-2", NERR_PasswordTooShort, 2},
      {"Pass-4", 0, 2},
      {"Pass-1", 0, 2},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(change(step.password), step.expected) << step.password;
    if (step.kept < 0) continue;
    const std::regex line("alice:1000:" + std::to_string(step.kept) +
                          ":\\$y\\$[^,:\n]+(,\\$y\\$[^,:\n]+)*\n");
    EXPECT_TRUE(std::regex_match(read("security/opasswd"), line)) << read("security/opasswd");
  }
}

// A line pam_pwhistory keeps longer (remember= more than the policy) keeps its length, and
// a line left by an older account of the name (another uid) does not count.
TEST_F(SystemHistoryTest, LongerLinesStayAndOtherUidsDoNotCount) {
  ASSERT_EQ(add(record("alice", "Pass-0")), 0u);
  std::string old_hashes;
  for (int i = 1; i <= 4; ++i) {
    const std::string hash = crypt(("Old-" + std::to_string(i)).c_str(), "$6$saltsalt$");
    old_hashes += (i > 1 ? "," : "") + hash;
  }
  write("security/opasswd", "bob:1001:1:" + std::string(crypt("Bob-1", "$6$saltsalt$")) +
                                "\nalice:1000:4:" + old_hashes + "\n");
  EXPECT_EQ(change("Old-4"), NERR_PasswordTooShort);  // the newest two count
  EXPECT_EQ(change("Old-1"), 0u);                     // the oldest does not
  const std::string after = read("security/opasswd");
  EXPECT_EQ(after.rfind("bob:1001:1:", 0), 0u);
  EXPECT_NE(after.find("\nalice:1000:4:"), std::string::npos) << after;

  write("security/opasswd", "alice:999:1:" + std::string(crypt("Stale-1", "$6$saltsalt$")) + "\n");
  EXPECT_EQ(change("Stale-1"), 0u);
  EXPECT_EQ(read("security/opasswd").rfind("alice:1000:1:$y$", 0), 0u);
}

}  // namespace
}  // namespace ostrel_posix
