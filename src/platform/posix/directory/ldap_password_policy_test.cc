// The password policy against a real directory (tests/ldap/harness.sh): the shared rules
// refuse before the directory is written, and the directory's own history (ppolicy's
// pwdInHistory) refuses a former password with the same code. Skipped unless the
// environment names the harness's server and its root socket (OSTREL_TEST_LDAPI_URI).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string refused_rule;

class DirectoryPasswordPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("OSTREL_TEST_LDAP_URI") == nullptr || env("OSTREL_TEST_LDAPI_URI") == nullptr)
      GTEST_SKIP() << "OSTREL_TEST_LDAP_URI or OSTREL_TEST_LDAPI_URI not set";
    platform_set_directory_options(env("OSTREL_TEST_LDAP_BASE"), env("OSTREL_TEST_LDAP_BIND_DN"),
                                   env("OSTREL_TEST_LDAP_BIND_PW_FILE"));
    platform_set_account_db(env("OSTREL_TEST_LDAP_URI"));
    platform_set_password_reporter([](const char*, const char* rule) { refused_rule = rule; });
    name_ = "pp" + std::to_string(getpid() % 100000);
    ASSERT_EQ(set_history("2"), 0);
  }
  void TearDown() override {
    if (name_.empty()) return;
    NetUserDel(nullptr, wide(name_).c_str());
    set_history(nullptr);
    platform_set_password_policy(PlatformPasswordPolicy{});
    platform_set_password_reporter(nullptr);
    platform_set_account_db(nullptr);
    platform_set_directory_options(nullptr, nullptr, nullptr);
  }
  // Sets (or with null removes) pwdInHistory of the harness's default policy, as root.
  int set_history(const char* value) {
    const std::string ldif = std::string("dn: cn=default,ou=policies,") +
                             env("OSTREL_TEST_LDAP_BASE") + "\nchangetype: modify\n" +
                             (value ? std::string("replace: pwdInHistory\npwdInHistory: ") + value
                                    : std::string("delete: pwdInHistory")) +
                             "\n";
    const std::string command = "printf '%s' '" + ldif + "' | ldapmodify -Q -Y EXTERNAL -H '" +
                                env("OSTREL_TEST_LDAPI_URI") + "' >/dev/null 2>&1";
    return std::system(command.c_str());
  }
  // True when the account is a member of the group Users.
  bool in_users() {
    const std::string base = env("OSTREL_TEST_LDAP_BASE");
    const std::string command = "ldapsearch -LLL -Q -Y EXTERNAL -H '" +
                                std::string(env("OSTREL_TEST_LDAPI_URI")) +
                                "' -b 'cn=Users,ou=groups," + base + "' '(member=uid=" + name_ +
                                ",ou=users," + base + ")' 1.1 2>/dev/null | grep -q '^dn:'";
    return std::system(command.c_str()) == 0;
  }
  DWORD change(const char* password) {
    Record r = record(name_, password);
    r.bytes();
    DWORD parm = 0, removal = 0;
    refused_rule.clear();
    const DWORD rc = platform_replace_user(nullptr, &r.info, &parm, &removal);
    EXPECT_EQ(removal, 0u);
    return rc;
  }
  std::string name_;
};

TEST_F(DirectoryPasswordPolicyTest, SharedRulesAndTheDirectorysHistoryRefuse) {
  platform_set_password_policy({10, true, 0, nullptr});
  EXPECT_EQ(add(record(name_, "Short#1")), static_cast<DWORD>(NERR_PasswordTooShort));
  EXPECT_EQ(refused_rule, "shorter than 10 characters");
  ASSERT_EQ(add(record(name_, "First#Pass1")), 0u);
  const std::u16string member = wide(name_);
  LOCALGROUP_MEMBERS_INFO_3 info{const_cast<WCHAR*>(member.c_str())};
  const auto join = [&] {
    return NetLocalGroupAddMembers(nullptr, u"Users", 3, reinterpret_cast<LPBYTE>(&info), 1);
  };
  ASSERT_EQ(join(), 0u);
  const struct {
    const char* password;
    DWORD expected;
  } steps[] = {
      {"First#Pass1", NERR_PasswordTooShort},  // the current one
      {"Second#Pass2", 0},
      {"First#Pass1", NERR_PasswordTooShort},
      {"Third#Pass3", 0},
      {"Fourth#Pass4", 0},
      {"First#Pass1", 0},  // out of the two former ones
  };
  for (const auto& step : steps) {
    EXPECT_EQ(change(step.password), step.expected) << step.password;
    // An accepted replacement is a new account, outside every group (set joins it again).
    if (step.expected == 0) {
      EXPECT_EQ(join(), 0u);
      continue;
    }
    EXPECT_EQ(refused_rule.rfind("refused by the directory's password policy (Password ", 0), 0u)
        << refused_rule;
    // A refused replacement leaves the account in its groups.
    EXPECT_TRUE(in_users()) << step.password;
  }
}

}  // namespace
}  // namespace ostrel_posix
