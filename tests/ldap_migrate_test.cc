// ostrel-migrate: a store made through the platform layer, copied into the test directory
// (tests/ldap/harness.sh; skipped without OSTREL_TEST_LDAP_URI), then read and logged on
// through the platform layer again, now served by the directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ldap_directory.h"
#include "ostrel_process.h"
#include "platform/platform.h"

namespace {

struct MigrateRun {
  int status = -1;
  std::string out;
};

// Runs ostrel-migrate with the words given (none of them may hold a quote).
MigrateRun migrate(const ScratchDir& scratch, const std::vector<std::string>& words) {
  std::string command = "timeout 120 '" OSTREL_MIGRATE_BINARY "'";
  for (const std::string& word : words) command += " '" + word + "'";
  const std::string out = (scratch.path / "migrate.out").string();
  command += " >'" + out + "' 2>&1";
  const int status = std::system(command.c_str());
  MigrateRun run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_text(out);
  return run;
}

std::string last_line(const std::string& text) {
  const std::vector<std::string> lines = split_lines(text);
  return lines.empty() ? std::string() : lines.back();
}

struct Account {
  const char16_t* name;
  const char16_t* password;  // null: none
  const char16_t* home;      // null: absent
  const char16_t* comment;
  const char16_t* script;
  DWORD flags;
};

constexpr DWORD kNormal = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;

const Account kAccounts[] = {
    {u"alice", u"Wonder!land", u"/srv/mail/alice", u"Reader", u"mail.cmd", kNormal},
    {u"bob", nullptr, nullptr, u"", nullptr, kNormal},
    {u"carol", u"Sec=ret,+1", nullptr, nullptr, u"", kNormal | UF_ACCOUNTDISABLE},
    {u"#first", u"pw #1", u"", nullptr, nullptr, kNormal},
    {u"Jos\u00e9", u"\u00fcber", nullptr, u"Gr\u00fc\u00dfe", nullptr, kNormal},
};

LPWSTR w(const char16_t* text) {
  return const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(text));
}

NET_API_STATUS add_member(const char16_t* group, const char16_t* account) {
  LOCALGROUP_MEMBERS_INFO_3 member{w(account)};
  return NetLocalGroupAddMembers(nullptr, reinterpret_cast<LPCWSTR>(group), 3,
                                 reinterpret_cast<LPBYTE>(&member), 1);
}

// The level-1 fields of an account as text, for comparing two backends.
std::string describe(const char16_t* name) {
  LPBYTE buffer = nullptr;
  const NET_API_STATUS status =
      NetUserGetInfo(nullptr, reinterpret_cast<LPCWSTR>(name), 1, &buffer);
  if (status != 0) return "status " + std::to_string(status);
  const auto* info = reinterpret_cast<const USER_INFO_1*>(buffer);
  auto text = [](LPCWSTR field) {
    if (field == nullptr) return std::string("(absent)");
    std::string out = "\"";
    for (const WCHAR* p = field; *p != 0; ++p) out += std::to_string(*p) + ".";
    return out + "\"";
  };
  std::string out = "name " + text(info->usri1_name) + " priv " + std::to_string(info->usri1_priv) +
                    " flags " + std::to_string(info->usri1_flags) + " home " +
                    text(info->usri1_home_dir) + " comment " + text(info->usri1_comment) +
                    " script " + text(info->usri1_script_path);
  NetApiBufferFree(buffer);
  return out;
}

// The result of a logon: 0, or the code GetLastError gave.
DWORD logon(const char16_t* name, const char16_t* password) {
  HANDLE token = nullptr;
  if (LogonUserW(reinterpret_cast<LPCWSTR>(name), nullptr, reinterpret_cast<LPCWSTR>(password),
                 LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT, &token)) {
    CloseHandle(token);
    return 0;
  }
  return GetLastError();
}

std::string settings_file(const ScratchDir& scratch, const TestDirectory& directory) {
  std::string text = "path " + scratch.path.string() + "\nlog info\n";
  for (const std::string& line : directory_settings(directory, directory.uri)) text += line + "\n";
  const std::string path = (scratch.path / "ostrel.ini").string();
  write_text(path, text);
  return path;
}

TEST(MigrateTest, CopiesAccountsHashesAttributesAndGroups) {
  const std::optional<TestDirectory> directory = test_directory();
  if (!directory) {
    GTEST_SKIP() << "OSTREL_TEST_LDAP_URI is not set (tests/ldap/harness.sh)";
  }
  const ScratchDir scratch;
  const std::string store = (scratch.path / "accounts.db").string();

  platform_set_account_db(store.c_str());
  for (const Account& a : kAccounts) {
    USER_INFO_1 record{};
    record.usri1_name = w(a.name);
    record.usri1_password = a.password == nullptr ? nullptr : w(a.password);
    record.usri1_priv = USER_PRIV_USER;
    record.usri1_home_dir = a.home == nullptr ? nullptr : w(a.home);
    record.usri1_comment = a.comment == nullptr ? nullptr : w(a.comment);
    record.usri1_flags = a.flags;
    record.usri1_script_path = a.script == nullptr ? nullptr : w(a.script);
    DWORD parm = 0;
    ASSERT_EQ(NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm), 0u);
  }
  ASSERT_EQ(add_member(u"Administrators", u"alice"), 0u);
  ASSERT_EQ(add_member(u"Guests", u"bob"), 0u);
  ASSERT_EQ(add_member(u"Guests", u"Jos\u00e9"), 0u);
  std::vector<std::string> in_store;
  for (const Account& a : kAccounts) in_store.push_back(describe(a.name));
  platform_close_store();

  std::string error;
  ASSERT_TRUE(reset_directory(*directory, &error)) << error;
  const MigrateRun first = migrate(scratch, {store, settings_file(scratch, *directory)});
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(last_line(first.out), "copied 5 accounts, 3 memberships; 0 skipped");

  use_directory(*directory);
  for (std::size_t i = 0; i < std::size(kAccounts); ++i) {
    EXPECT_EQ(describe(kAccounts[i].name), in_store[i]);
  }
  // The hashes made by the store bind as they are.
  const struct {
    const char16_t* name;
    const char16_t* password;
    DWORD result;
  } logons[] = {
      {u"alice", u"Wonder!land", 0},
      {u"ALICE", u"Wonder!land", 0},
      {u"alice", u"Wonder!lane", ERROR_LOGON_FAILURE},
      {u"bob", u"anything", ERROR_LOGON_FAILURE},
      {u"carol", u"Sec=ret,+1", ERROR_ACCOUNT_DISABLED},
      {u"#first", u"pw #1", 0},
      {u"Jos\u00e9", u"\u00fcber", 0},
  };
  for (const auto& l : logons) {
    EXPECT_EQ(logon(l.name, l.password), l.result) << describe(l.name);
  }
  // Memberships came along: adding them again is refused, others are not.
  EXPECT_EQ(add_member(u"Administrators", u"alice"), ERROR_MEMBER_IN_ALIAS);
  EXPECT_EQ(add_member(u"Guests", u"Jos\u00e9"), ERROR_MEMBER_IN_ALIAS);
  EXPECT_EQ(add_member(u"Administrators", u"bob"), 0u);
  platform_close_store();

  // A second run finds everything there and copies nothing over it.
  const MigrateRun again = migrate(scratch, {store, directory->uri, directory->base,
                                             directory->bind_dn, directory->bind_pw_file});
  EXPECT_EQ(again.status, 2) << again.out;
  EXPECT_NE(again.out.find("skipped account alice: already in the directory"), std::string::npos)
      << again.out;
  EXPECT_EQ(last_line(again.out),
            "copied 0 accounts, 0 memberships; 8 skipped: already in the directory (5), "
            "its account was not copied (3)");
}

TEST(MigrateTest, RefusesWhatItCannotUse) {
  const ScratchDir scratch;
  const std::string dir = scratch.path.string();
  const std::string store = dir + "/accounts.db";
  platform_set_account_db(store.c_str());
  DWORD parm = 0;
  USER_INFO_1 record{};
  record.usri1_name = w(u"alice");
  record.usri1_flags = kNormal;
  ASSERT_EQ(NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm), 0u);
  platform_close_store();

  write_text(dir + "/open.pw", "secret\n");
  chmod((dir + "/open.pw").c_str(), 0644);
  write_text(dir + "/file.ini", "account_db " + store +
                                    "\nldap_base dc=x\nldap_bind_dn cn=s\n"
                                    "ldap_bind_pw_file " +
                                    dir + "/open.pw\n");
  write_text(dir + "/not-a-store.db", "just text, not a database at all............");
  const struct {
    std::vector<std::string> words;
    const char* says;
  } cases[] = {
      {{}, "wrong number of arguments"},
      {{store, "ldap://127.0.0.1:9", "dc=x"}, "wrong number of arguments"},
      {{store, "/srv/other.db", "dc=x", "cn=s", dir + "/open.pw"}, "not a directory URI"},
      {{store, dir + "/file.ini"}, "account_db is not a directory URI"},
      {{store, dir + "/missing.ini"}, "cannot read the settings file"},
      {{dir + "/missing.db", "ldap://127.0.0.1:9", "dc=x", "cn=s", dir + "/open.pw"}, "missing.db"},
      {{dir + "/not-a-store.db", "ldap://127.0.0.1:9", "dc=x", "cn=s", dir + "/open.pw"},
       "not-a-store.db"},
      {{store, "ldap://127.0.0.1:9", "dc=x", "cn=s", dir + "/open.pw"}, "only its owner can read"},
      {{store, "ldap://127.0.0.1:9", "dc=x", "cn=s", dir + "/none.pw"},
       "cannot open the password file"},
  };
  for (const auto& c : cases) {
    const MigrateRun run = migrate(scratch, c.words);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("copied"), std::string::npos) << run.out;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing.db"));
}

}  // namespace
