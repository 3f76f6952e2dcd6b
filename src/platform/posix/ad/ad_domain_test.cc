// The account calls against a real domain controller. Skipped unless the environment
// names one (tests/ad/harness.sh start prints these):
//   OSTREL_TEST_AD_URI, OSTREL_TEST_AD_STARTTLS_URI, OSTREL_TEST_AD_BASE,
//   OSTREL_TEST_AD_BIND_DN, OSTREL_TEST_AD_BIND_PW_FILE, OSTREL_TEST_AD_CA_FILE,
//   OSTREL_TEST_AD_PLAIN_DN, OSTREL_TEST_AD_PLAIN_PW_FILE (a user without rights)
// The tests add accounts with names of their own, remove them again and put back the
// domain policy they change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "platform/posix/ad/ad_connect.h"
#include "platform/posix/common/test_store.h"
#include "platform/posix/directory/ldap_entries.h"

namespace ostrel_posix {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class DomainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("OSTREL_TEST_AD_URI").empty()) GTEST_SKIP() << "OSTREL_TEST_AD_URI not set";
    platform_clear_faults();
    use(env("OSTREL_TEST_AD_URI"), env("OSTREL_TEST_AD_BIND_DN"),
        env("OSTREL_TEST_AD_BIND_PW_FILE"));
    prefix_ = "t" + std::to_string(getpid() % 100000) + "_";
  }

  void TearDown() override {
    if (env("OSTREL_TEST_AD_URI").empty()) return;
    use(env("OSTREL_TEST_AD_URI"), env("OSTREL_TEST_AD_BIND_DN"),
        env("OSTREL_TEST_AD_BIND_PW_FILE"));
    for (const auto& [type, value] : policy_) set_policy(type, value);
    for (const std::string& name : added_) NetUserDel(nullptr, wide(name).c_str());
    platform_set_account_db(nullptr);
    platform_set_directory_options(nullptr, nullptr, nullptr);
    platform_set_tls_ca_file(nullptr);
  }

  void use(const std::string& uri, const std::string& bind_dn, const std::string& pw_file,
           const std::string& ca_file = env("OSTREL_TEST_AD_CA_FILE")) {
    platform_set_directory_options(env("OSTREL_TEST_AD_BASE").c_str(), bind_dn.c_str(),
                                   pw_file.c_str());
    platform_set_tls_ca_file(ca_file.c_str());
    platform_set_account_db(("ad:" + uri).c_str());
  }

  std::string name(const std::string& suffix) { return prefix_ + suffix; }

  DWORD add_account(const std::string& text, const char* password = "Good-Pass.1") {
    added_.push_back(text);
    return add(record(text, password));
  }

  // Runs op on a service connection of the test's own.
  template <typename Op>
  int raw(Op op) {
    LdapPtr ld;
    {
      auto lock = lock_domain();
      if (connect_domain_service(ld) != 0) return -1;
    }
    return op(ld.get());
  }

  int replace(const std::string& dn, const std::string& type, const std::string& value) {
    Modifications mods;
    mods.add(LDAP_MOD_REPLACE, type.c_str(), {value});
    return raw(
        [&](LDAP* ld) { return ldap_modify_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr); });
  }

  std::string read(const std::string& dn, const std::string& type) {
    const char* const attributes[] = {type.c_str(), nullptr};
    std::string value;
    raw([&](LDAP* ld) {
      Message result;
      const int rc = search(ld, dn, LDAP_SCOPE_BASE, "(objectClass=*)", attributes, result);
      LDAPMessage* entry = ldap_first_entry(ld, result.get());
      berval** values = entry != nullptr ? ldap_get_values_len(ld, entry, type.c_str()) : nullptr;
      if (values != nullptr && values[0] != nullptr)
        value.assign(values[0]->bv_val, values[0]->bv_len);
      ldap_value_free_len(values);
      return rc;
    });
    return value;
  }

  std::string dn_of(const std::string& text) {
    return "CN=" + text + "," + env("OSTREL_TEST_AD_BASE");
  }

  // Changes an attribute of the domain's policy; TearDown puts the old value back.
  void set_policy(const std::string& type, const std::string& value) {
    auto lock = lock_domain();
    const std::string domain = domain_dn();
    lock.unlock();
    if (policy_.count(type) == 0) policy_[type] = read(domain, type);
    ASSERT_EQ(replace(domain, type, value), LDAP_SUCCESS) << type;
  }

  DWORD set_flags(const std::string& text, DWORD flags) {
    USER_INFO_1* info = nullptr;
    DWORD rc = NetUserGetInfo(nullptr, wide(text).c_str(), 1, reinterpret_cast<LPBYTE*>(&info));
    if (rc != 0) return rc;
    info->usri1_flags = flags;
    DWORD parm = 0;
    rc = NetUserSetInfo(nullptr, wide(text).c_str(), 1, reinterpret_cast<LPBYTE>(info), &parm);
    NetApiBufferFree(info);
    return rc;
  }

  DWORD flags_of(const std::string& text) {
    USER_INFO_1* info = nullptr;
    if (NetUserGetInfo(nullptr, wide(text).c_str(), 1, reinterpret_cast<LPBYTE*>(&info)) != 0)
      return 0xFFFFFFFF;
    const DWORD flags = info->usri1_flags;
    NetApiBufferFree(info);
    return flags;
  }

  DWORD logon(const std::string& user, const std::string& password) {
    HANDLE token = nullptr;
    SetLastError(0);
    const BOOL ok = LogonUserW(wide(user).c_str(), nullptr, wide(password).c_str(),
                               LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT, &token);
    if (ok) CloseHandle(token);
    return ok ? 0 : GetLastError();
  }

  std::string prefix_;
  std::vector<std::string> added_;
  std::map<std::string, std::string> policy_;
};

TEST_F(DomainTest, AccountsRoundTripWithWindowsFieldsAndNameRule) {
  Record r = record(name("fields"), "Good-Pass.1");
  r.has_home_dir = r.has_comment = r.has_script_path = true;
  r.home_dir = u"/home/x";
  r.comment = u"A comment";
  r.script_path = u"/bin/sh";
  added_.push_back(name("fields"));
  ASSERT_EQ(add(r), 0u);
  USER_INFO_1* info = nullptr;
  ASSERT_EQ(
      NetUserGetInfo(nullptr, wide(name("FIELDS")).c_str(), 1, reinterpret_cast<LPBYTE*>(&info)),
      0u);
  EXPECT_EQ(narrow(info->usri1_name), name("fields"));
  EXPECT_EQ(narrow(info->usri1_home_dir), "/home/x");
  EXPECT_EQ(narrow(info->usri1_comment), "A comment");
  EXPECT_EQ(narrow(info->usri1_script_path), "/bin/sh");
  EXPECT_EQ(info->usri1_flags, r.flags);
  EXPECT_EQ(info->usri1_priv, USER_PRIV_USER);
  // An empty text is a replace with no values: the DC refuses an empty value.
  info->usri1_comment = const_cast<WCHAR*>(u"");
  DWORD parm = 0;
  EXPECT_EQ(NetUserSetInfo(nullptr, info->usri1_name, 1, reinterpret_cast<LPBYTE>(info), &parm),
            0u);
  NetApiBufferFree(info);
  EXPECT_EQ(read(dn_of(name("fields")), "description"), "");

  // A user allowed to write his own description cannot forge a home into the replies.
  ASSERT_EQ(replace(dn_of(name("fields")), "description", "x\" home=\"/srv/mail/victim"),
            LDAP_SUCCESS);
  ASSERT_EQ(
      NetUserGetInfo(nullptr, wide(name("fields")).c_str(), 1, reinterpret_cast<LPBYTE*>(&info)),
      0u);
  char text[kMessageBuffer];
  ASSERT_TRUE(format_account_attributes(info, "fields", text));
  EXPECT_STREQ(text, "home=\"/home/x\" script=\"/bin/sh\"");
  NetApiBufferFree(info);

  // Windows' 20 units, which the DC itself does not enforce; a trailing dot is refused too.
  const std::string twenty = name(std::string(20 - prefix_.size(), 'n'));
  EXPECT_EQ(add_account(twenty), 0u);
  EXPECT_NE(add_account(twenty + "n"), 0u);
  EXPECT_NE(add_account(name("dot.")), 0u);
  EXPECT_EQ(
      NetUserGetInfo(nullptr, wide(twenty + "n").c_str(), 1, reinterpret_cast<LPBYTE*>(&info)),
      NERR_UserNotFound);
  // The builtin Administrators group gives the admin privilege.
  const std::u16string member = wide(twenty);
  LOCALGROUP_MEMBERS_INFO_3 members[] = {{const_cast<WCHAR*>(member.c_str())}};
  EXPECT_EQ(
      NetLocalGroupAddMembers(nullptr, u"Administrators", 3, reinterpret_cast<LPBYTE>(members), 1),
      0u);
  ASSERT_EQ(NetUserGetInfo(nullptr, member.c_str(), 1, reinterpret_cast<LPBYTE*>(&info)), 0u);
  EXPECT_EQ(info->usri1_priv, USER_PRIV_ADMIN);
  NetApiBufferFree(info);
}

TEST_F(DomainTest, EveryAnswerOfTheDcGivesWindowsCode) {
  const std::string bob = name("bob");
  ASSERT_EQ(add_account(bob), 0u);
  EXPECT_EQ(add(record(bob, "Good-Pass.1")), NERR_UserExists);      // DN exists
  EXPECT_EQ(add(record("PLAIN", "Good-Pass.1")), NERR_UserExists);  // name exists elsewhere
  EXPECT_EQ(NetUserDel(nullptr, wide(name("none")).c_str()), NERR_UserNotFound);
  // A server name that names the domain controller reaches it, as on Windows.
  const std::string uri = env("OSTREL_TEST_AD_URI");
  const std::u16string dc = wide("\\\\" + uri.substr(uri.find("//") + 2));
  LPBYTE read = nullptr;
  EXPECT_EQ(NetUserGetInfo(dc.c_str(), wide(bob).c_str(), 1, &read), 0u);
  NetApiBufferFree(read);
  EXPECT_EQ(NetUserGetInfo(u"\\\\elsewhere", wide(bob).c_str(), 1, &read), ERROR_BAD_NETPATH);
  DWORD parm = 0;
  Record missing = record(name("none"), "Good-Pass.1");
  EXPECT_EQ(NetUserSetInfo(nullptr, missing.name.c_str(), 1, missing.bytes(), &parm),
            NERR_UserNotFound);

  set_policy("minPwdLength", "7");
  set_policy("pwdProperties", "1");  // complexity
  EXPECT_EQ(add_account(name("short"), "Aa1!"), NERR_PasswordTooShort);
  EXPECT_EQ(add_account(name("simple"), "simplepassword"), NERR_PasswordTooShort);
  // An account made anew with a password the domain refuses stays as it was.
  Record again = record(bob, "Aa1!");
  NET_API_STATUS removal = 0;
  EXPECT_EQ(platform_replace_user(nullptr, reinterpret_cast<USER_INFO_1*>(again.bytes()), &parm,
                                  &removal),
            NERR_PasswordTooShort);
  EXPECT_EQ(logon(bob, "Good-Pass.1"), 0u);

  const std::u16string member = wide(bob);
  LOCALGROUP_MEMBERS_INFO_3 members[] = {{const_cast<WCHAR*>(member.c_str())}};
  const auto group_add = [&](const char16_t* group, LOCALGROUP_MEMBERS_INFO_3* list) {
    return NetLocalGroupAddMembers(nullptr, group, 3, reinterpret_cast<LPBYTE>(list), 1);
  };
  EXPECT_EQ(group_add(u"Guests", members), 0u);
  EXPECT_EQ(group_add(u"Guests", members), ERROR_MEMBER_IN_ALIAS);
  EXPECT_EQ(group_add(u"NoSuchGroup", members), NERR_GroupNotFound);
  const std::u16string nobody = wide(name("nobody"));
  LOCALGROUP_MEMBERS_INFO_3 none[] = {{const_cast<WCHAR*>(nobody.c_str())}};
  EXPECT_EQ(group_add(u"Guests", none), ERROR_NO_SUCH_MEMBER);

  // A service account without rights: access denied for add, modify and delete.
  use(env("OSTREL_TEST_AD_URI"), env("OSTREL_TEST_AD_PLAIN_DN"),
      env("OSTREL_TEST_AD_PLAIN_PW_FILE"));
  EXPECT_EQ(add(record(name("denied"), "Good-Pass.1")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(set_flags(bob, UF_NORMAL_ACCOUNT), ERROR_ACCESS_DENIED);
  EXPECT_EQ(NetUserDel(nullptr, member.c_str()), ERROR_ACCESS_DENIED);
  // A password file behind a symbolic link, or one others can read, is a misconfiguration
  // refused before anything is sent: never an answer about the account.
  const std::string link = env("OSTREL_TEST_AD_BIND_PW_FILE") + ".link";
  ASSERT_EQ(symlink(env("OSTREL_TEST_AD_BIND_PW_FILE").c_str(), link.c_str()), 0);
  use(env("OSTREL_TEST_AD_URI"), env("OSTREL_TEST_AD_BIND_DN"), link);
  EXPECT_EQ(NetUserDel(nullptr, member.c_str()), ERROR_BAD_CONFIGURATION);
  unlink(link.c_str());
  const std::string readable = env("OSTREL_TEST_AD_BIND_PW_FILE") + ".readable";
  std::filesystem::copy_file(env("OSTREL_TEST_AD_BIND_PW_FILE"), readable);
  chmod(readable.c_str(), 0644);
  use(env("OSTREL_TEST_AD_URI"), env("OSTREL_TEST_AD_BIND_DN"), readable);
  LPBYTE info = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, wide(bob).c_str(), 1, &info), ERROR_BAD_CONFIGURATION);
  NetApiBufferFree(info);
  unlink(readable.c_str());
  // A DC that is not there, or whose certificate does not chain to the CA file: never an
  // answer about the account.
  use("ldaps://127.0.0.1:1", env("OSTREL_TEST_AD_BIND_DN"), env("OSTREL_TEST_AD_BIND_PW_FILE"));
  EXPECT_EQ(NetUserDel(nullptr, member.c_str()), ERROR_BAD_NETPATH);
  use(env("OSTREL_TEST_AD_URI"), env("OSTREL_TEST_AD_BIND_DN"), env("OSTREL_TEST_AD_BIND_PW_FILE"),
      "/etc/ssl/certs/ca-certificates.crt");
  EXPECT_NE(set_flags(bob, UF_NORMAL_ACCOUNT), 0u);
  EXPECT_NE(logon(bob, "Good-Pass.1"), 0u);
  // StartTLS reaches the same DC.
  use(env("OSTREL_TEST_AD_STARTTLS_URI"), env("OSTREL_TEST_AD_BIND_DN"),
      env("OSTREL_TEST_AD_BIND_PW_FILE"));
  EXPECT_EQ(logon(bob, "Good-Pass.1"), 0u);
}

TEST_F(DomainTest, LogonGivesTheDomainsOwnAnswers) {
  const std::string carol = name("carol");
  ASSERT_EQ(add_account(carol), 0u);
  const std::string dn = dn_of(carol);
  set_policy("lockoutThreshold", "10");  // the DC counts wrong passwords only with one
  EXPECT_EQ(logon(carol, "Good-Pass.1"), 0u);
  EXPECT_EQ(logon(carol, "Wrong-Pass.1"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(name("nobody"), "Good-Pass.1"), ERROR_LOGON_FAILURE);
  // An empty password never reaches the DC, where it would count as a wrong one.
  EXPECT_EQ(read(dn, "badPwdCount"), "1");
  EXPECT_EQ(logon(carol, ""), ERROR_LOGON_FAILURE);
  EXPECT_EQ(read(dn, "badPwdCount"), "1");

  ASSERT_EQ(set_flags(carol, UF_NORMAL_ACCOUNT | UF_ACCOUNTDISABLE), 0u);
  EXPECT_EQ(logon(carol, "Good-Pass.1"), ERROR_ACCOUNT_DISABLED);
  ASSERT_EQ(set_flags(carol, UF_NORMAL_ACCOUNT), 0u);
  ASSERT_EQ(replace(dn, "pwdLastSet", "0"), LDAP_SUCCESS);
  EXPECT_EQ(logon(carol, "Good-Pass.1"), ERROR_PASSWORD_MUST_CHANGE);
  ASSERT_EQ(replace(dn, "pwdLastSet", "-1"), LDAP_SUCCESS);
  ASSERT_EQ(replace(dn, "accountExpires", "130000000000000000"), LDAP_SUCCESS);  // 2012
  EXPECT_EQ(logon(carol, "Good-Pass.1"), ERROR_ACCOUNT_EXPIRED);
  ASSERT_EQ(replace(dn, "accountExpires", "0"), LDAP_SUCCESS);
  // An aged password: the DC takes pwdLastSet only as 0 or -1, so the harness writes it
  // into the stopped DC's database (and the policy is read anew on start).
  const std::string harness = env("OSTREL_TEST_AD_HARNESS");
  ASSERT_FALSE(harness.empty()) << "OSTREL_TEST_AD_HARNESS not set";
  ASSERT_EQ(set_flags(carol, UF_NORMAL_ACCOUNT), 0u);
  set_policy("maxPwdAge", "-36288000000000");  // 42 days
  const std::string age =
      harness + " age-password " + env("OSTREL_TEST_AD_DIR") + " '" + dn + "' 100";
  ASSERT_EQ(std::system(age.c_str()), 0);
  EXPECT_EQ(logon(carol, "Good-Pass.1"), ERROR_PASSWORD_EXPIRED);
}

TEST_F(DomainTest, DomainLockoutCountsAndSetNullUnlocks) {
  const std::string dave = name("dave");
  ASSERT_EQ(add_account(dave), 0u);
  set_policy("lockoutThreshold", "3");
  set_policy("lockoutDuration", "-18000000000");  // 30 minutes
  set_policy("lockOutObservationWindow", "-18000000000");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(logon(dave, "Wrong-Pass.1"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(dave, "Good-Pass.1"), ERROR_ACCOUNT_LOCKED_OUT);
  const DWORD flags = flags_of(dave);
  EXPECT_NE(flags & UF_LOCKOUT, 0u);
  ASSERT_EQ(set_flags(dave, flags & ~UF_LOCKOUT), 0u);
  EXPECT_EQ(flags_of(dave) & UF_LOCKOUT, 0u);
  EXPECT_EQ(logon(dave, "Good-Pass.1"), 0u);
}

TEST_F(DomainTest, AThrottledSourceIsRefusedBeforeAnyBindAndOthersGoOn) {
  char scratch[] = "/tmp/ostrel-sources-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  platform_set_lockout_tally_dir(scratch);
  PlatformLockoutPolicy policy;
  policy.threshold = 2;
  platform_set_lockout_policy(policy);
  const std::string erin = name("erin");
  ASSERT_EQ(add_account(erin), 0u);
  const std::string dn = dn_of(erin);
  set_policy("lockoutThreshold", "4");  // the DC counts wrong passwords only with one
  set_policy("lockoutDuration", "-18000000000");
  set_policy("lockOutObservationWindow", "-18000000000");
  platform_set_logon_source("192.0.2.7");
  EXPECT_EQ(logon(erin, "Wrong-Pass.1"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(erin, "Wrong-Pass.2"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(read(dn, "badPwdCount"), "2");
  // Past the DC's own threshold, had they been bound.
  for (const char* password : {"Wrong-Pass.3", "Wrong-Pass.4", "Wrong-Pass.5", "Good-Pass.1"}) {
    EXPECT_EQ(logon(erin, password), ERROR_ACCOUNT_LOCKED_OUT) << password;
    EXPECT_EQ(platform_last_logon_refusal(), LogonRefusal::kThrottledSource);
  }
  EXPECT_EQ(read(dn, "badPwdCount"), "2");
  platform_set_logon_source("192.0.2.8");
  EXPECT_EQ(logon(erin, "Good-Pass.1"), 0u);
  // A stale password a device repeats reaches the DC once, and its owner still logs in.
  platform_set_logon_source("192.0.2.9");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(logon(erin, "Old-Pass.9"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(platform_last_logon_refusal(), LogonRefusal::kRepeatedPassword);
  EXPECT_EQ(read(dn, "badPwdCount"), "1");
  EXPECT_EQ(logon(erin, "Good-Pass.1"), 0u);
  platform_set_logon_source(nullptr);
  platform_set_lockout_policy(PlatformLockoutPolicy{});
  platform_set_lockout_tally_dir(nullptr);
  std::filesystem::remove_all(scratch);
}

TEST_F(DomainTest, ListingIsInNameOrderAcrossResumeHandles) {
  const std::vector<std::string> names = {name("e3"), name("E1"), name("e2"), name("e5"),
                                          name("e4")};
  for (const std::string& each : names) ASSERT_EQ(add_account(each), 0u);
  std::vector<std::string> seen;
  DWORD resume = 0, rc = 0;
  do {
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    rc = NetUserEnum(nullptr, 1, FILTER_NORMAL_ACCOUNT, &buffer, 1, &read, &total, &resume);
    ASSERT_TRUE(rc == 0 || rc == ERROR_MORE_DATA) << rc;
    const auto* users = reinterpret_cast<USER_INFO_1*>(buffer);
    for (DWORD i = 0; i < read; ++i)
      if (narrow(users[i].usri1_name).rfind(prefix_, 0) == 0)
        seen.push_back(narrow(users[i].usri1_name));
    NetApiBufferFree(buffer);
  } while (rc == ERROR_MORE_DATA);
  EXPECT_EQ(seen,
            (std::vector<std::string>{name("E1"), name("e2"), name("e3"), name("e4"), name("e5")}));
  EXPECT_EQ(NetUserEnum(nullptr, 1, 0, nullptr, 1, nullptr, nullptr, &resume),
            ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace ostrel_posix
