// The account calls against a real directory server. Skipped unless the environment names
// one:
//   OSTREL_TEST_LDAP_URI           e.g. ldap://127.0.0.1:20389 or ldapi://%2Ftmp%2Fs%2Fldapi
//   OSTREL_TEST_LDAP_BASE          the base DN (ou=users and ou=groups below it)
//   OSTREL_TEST_LDAP_BIND_DN       the service account
//   OSTREL_TEST_LDAP_BIND_PW_FILE  its password, in a file only its owner can read
// The tests add accounts with names of their own and remove them again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "platform/posix/common/test_store.h"
#include "platform/posix/directory/ldap_connect.h"
#include "platform/posix/directory/ldap_entries.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("OSTREL_TEST_LDAP_URI") == nullptr) GTEST_SKIP() << "OSTREL_TEST_LDAP_URI not set";
    settings_.uri = env("OSTREL_TEST_LDAP_URI");
    settings_.base = env("OSTREL_TEST_LDAP_BASE") ? env("OSTREL_TEST_LDAP_BASE") : "";
    settings_.bind_dn = env("OSTREL_TEST_LDAP_BIND_DN") ? env("OSTREL_TEST_LDAP_BIND_DN") : "";
    settings_.bind_pw_file =
        env("OSTREL_TEST_LDAP_BIND_PW_FILE") ? env("OSTREL_TEST_LDAP_BIND_PW_FILE") : "";
    platform_clear_faults();
    platform_set_directory_options(settings_.base.c_str(), settings_.bind_dn.c_str(),
                                   settings_.bind_pw_file.c_str());
    platform_set_account_db(settings_.uri.c_str());
    // Names of this run: at most 20 units with the suffixes the tests add.
    prefix_ = "t" + std::to_string(getpid() % 100000) + "_";
  }

  void TearDown() override {
    if (settings_.uri.empty()) return;
    for (const std::string& name : added_) NetUserDel(nullptr, wide(name).c_str());
    for (const std::string& dn : entries_)
      raw([&](LDAP* ld) { return ldap_delete_ext_s(ld, dn.c_str(), nullptr, nullptr); });
    platform_set_account_db(nullptr);
    platform_set_directory_options(nullptr, nullptr, nullptr);
  }

  std::string name(const std::string& suffix) { return prefix_ + suffix; }

  DWORD add_account(Record r) {
    std::string text;
    utf16_to_utf8(r.name, text);
    added_.push_back(text);
    return add(std::move(r));
  }

  // Runs op on a connection of the test's own, bound as the service account.
  template <typename Op>
  int raw(Op op) {
    LdapPtr ld;
    if (connect_service(settings_, ld) != 0) return -1;
    return op(ld.get());
  }

  std::pair<BOOL, DWORD> logon(const std::string& user, const std::string& password) {
    HANDLE token = nullptr;
    SetLastError(0);
    const BOOL ok = LogonUserW(wide(user).c_str(), nullptr, wide(password).c_str(),
                               LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT, &token);
    const DWORD error = GetLastError();
    if (ok) CloseHandle(token);
    return {ok, ok ? 0 : error};
  }

  DirectorySettings settings_;
  std::string prefix_;
  std::vector<std::string> added_;
  std::vector<std::string> entries_;
};

std::string field(const WCHAR* text) {
  return narrow(text);
}

TEST_F(DirectoryTest, AccountsAreAddedReadChangedAndDeleted) {
  Record r = record(name("ann"), "Pa55(word)*");
  r.priv = USER_PRIV_ADMIN;
  r.has_home_dir = true;  // empty, which differs from absent
  r.has_comment = true;
  r.comment = u"*)(uid=*),ou=x\\";
  ASSERT_EQ(add_account(r), 0u);
  EXPECT_EQ(add_account(record(name("ANN"))), NERR_UserExists);  // names ignore case

  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, wide(name("Ann")).c_str(), 1, &buffer), 0u);
  auto* info = reinterpret_cast<USER_INFO_1*>(buffer);
  EXPECT_EQ(field(info->usri1_name), name("ann"));
  EXPECT_EQ(info->usri1_password, nullptr);
  EXPECT_EQ(info->usri1_priv, USER_PRIV_ADMIN);
  EXPECT_EQ(info->usri1_flags, r.flags);
  EXPECT_EQ(field(info->usri1_home_dir), "");
  EXPECT_EQ(field(info->usri1_comment), "*)(uid=*),ou=x\\");
  EXPECT_EQ(info->usri1_script_path, nullptr);
  EXPECT_LT(info->usri1_password_age, 600u);
  NetApiBufferFree(buffer);

  Record change = record(name("ann"), nullptr);  // keeps the password
  change.priv = USER_PRIV_USER;
  change.flags |= UF_ACCOUNTDISABLE;
  change.has_script_path = true;
  change.script_path = u"logon.cmd";
  ASSERT_EQ(NetUserSetInfo(nullptr, change.name.c_str(), 1, change.bytes(), nullptr), 0u);
  ASSERT_EQ(NetUserGetInfo(nullptr, change.name.c_str(), 1, &buffer), 0u);
  info = reinterpret_cast<USER_INFO_1*>(buffer);
  EXPECT_EQ(info->usri1_priv, USER_PRIV_USER);
  EXPECT_EQ(info->usri1_flags, change.flags);
  EXPECT_EQ(info->usri1_home_dir, nullptr);
  EXPECT_EQ(info->usri1_comment, nullptr);
  EXPECT_EQ(field(info->usri1_script_path), "logon.cmd");
  NetApiBufferFree(buffer);
  EXPECT_EQ(logon(name("ann"), "Pa55(word)*"), std::make_pair(FALSE, ERROR_ACCOUNT_DISABLED));

  EXPECT_EQ(NetUserDel(nullptr, wide(name("ann")).c_str()), 0u);
  EXPECT_EQ(NetUserDel(nullptr, wide(name("ann")).c_str()), NERR_UserNotFound);
  EXPECT_EQ(NetUserGetInfo(nullptr, wide(name("ann")).c_str(), 1, &buffer), NERR_UserNotFound);
  EXPECT_EQ(NetUserSetInfo(nullptr, change.name.c_str(), 1, change.bytes(), nullptr),
            NERR_UserNotFound);
  EXPECT_EQ(add_account(record(name("bad*"))), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(add_account(record(name("empty"), "")), NERR_PasswordTooShort);
}

TEST_F(DirectoryTest, SpecialCharactersStayInTheirValue) {
  // Brackets, '#', leading blanks and '&' pass the name rule; '*', '=', ',', '+', '\' do not.
  const std::vector<std::string> names = {name("a(b)c"), "#" + name("h"), " " + name("s"),
                                          name("x!&y"), name("\xc3\xbc")};
  for (const std::string& n : names)
    ASSERT_EQ(add_account(record(n, ("pw-" + n).c_str())), 0u) << n;
  ASSERT_EQ(add_account(record(name("a"), "pw-a")), 0u);
  for (const std::string& n : names) {
    LPBYTE buffer = nullptr;
    ASSERT_EQ(NetUserGetInfo(nullptr, wide(n).c_str(), 1, &buffer), 0u) << n;
    EXPECT_EQ(field(reinterpret_cast<USER_INFO_1*>(buffer)->usri1_name), n);
    NetApiBufferFree(buffer);
    EXPECT_EQ(logon(n, "pw-" + n), std::make_pair(TRUE, DWORD{0})) << n;
    EXPECT_EQ(logon(n, "pw-a"), std::make_pair(FALSE, ERROR_LOGON_FAILURE)) << n;
  }
  // A name that reads as a filter of another account's name finds nothing.
  EXPECT_EQ(logon(name("a)(uid="), "pw-a"), std::make_pair(FALSE, ERROR_LOGON_FAILURE));
}

TEST_F(DirectoryTest, LogonResultsAndEqualCostOfRefusals) {
  ASSERT_EQ(add_account(record(name("bo"), "Right-1")), 0u);
  ASSERT_EQ(add_account(record(name("nopw"), nullptr)), 0u);
  const struct {
    std::string user, password;
    BOOL ok;
    DWORD error;
  } cases[] = {
      {name("bo"), "Right-1", TRUE, 0},
      {name("BO"), "Right-1", TRUE, 0},
      {name("bo"), "right-1", FALSE, ERROR_LOGON_FAILURE},
      {name("bo"), "", FALSE, ERROR_LOGON_FAILURE},
      {name("nobody"), "Right-1", FALSE, ERROR_LOGON_FAILURE},
      {name("nopw"), "", FALSE, ERROR_LOGON_FAILURE},
      {name("nopw"), "x", FALSE, ERROR_LOGON_FAILURE},
  };
  for (const auto& c : cases)
    EXPECT_EQ(logon(c.user, c.password), std::make_pair(c.ok, c.error)) << c.user;

  Record change = record(name("bo"), "Changed-2");
  ASSERT_EQ(NetUserSetInfo(nullptr, change.name.c_str(), 1, change.bytes(), nullptr), 0u);
  EXPECT_EQ(logon(name("bo"), "Changed-2"), std::make_pair(TRUE, DWORD{0}));
  EXPECT_EQ(logon(name("bo"), "Right-1"), std::make_pair(FALSE, ERROR_LOGON_FAILURE));
}

TEST_F(DirectoryTest, ListingPagesFollowTheResumeHandle) {
  // More than one page of the server's (250 entries), added without passwords.
  const int count = 260;
  std::set<std::string> ours;
  for (int i = count - 1; i >= 0; --i) {
    const std::string n = name("e" + std::to_string(1000 + i));
    ASSERT_EQ(add_account(record(n, nullptr)), 0u);
    ours.insert(n);
  }
  std::vector<std::string> listed;
  DWORD resume = 0;
  int pages = 0;
  DWORD total = 0;
  for (;;) {
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    const DWORD rc =
        NetUserEnum(nullptr, 1, 0, &buffer, 3 * sizeof(USER_INFO_1) + 120, &read, &total, &resume);
    ASSERT_TRUE(rc == 0 || rc == ERROR_MORE_DATA) << rc;
    ASSERT_GT(read, 0u);
    const auto* info = reinterpret_cast<USER_INFO_1*>(buffer);
    for (DWORD i = 0; i < read; ++i) listed.push_back(field(info[i].usri1_name));
    NetApiBufferFree(buffer);
    ++pages;
    if (rc == 0) {
      EXPECT_EQ(resume, 0u);
      break;
    }
    ASSERT_NE(resume, 0u);
  }
  EXPECT_GT(pages, 2);
  EXPECT_GE(total, static_cast<DWORD>(count));
  std::vector<std::string> mine;
  for (const std::string& n : listed)
    if (ours.count(n) != 0) mine.push_back(n);
  EXPECT_EQ(mine, std::vector<std::string>(ours.begin(), ours.end()));  // once each, in order

  // A finished handle is unknown; a listing left half way does not disturb a new one.
  LPBYTE buffer = nullptr;
  DWORD read = 0;
  DWORD stale = 12345;
  EXPECT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, 100, &read, &total, &stale),
            ERROR_INVALID_PARAMETER);
  DWORD left = 0;
  ASSERT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, 1, &read, &total, &left), ERROR_MORE_DATA);
  NetApiBufferFree(buffer);
  DWORD whole = 0;
  ASSERT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, &whole), 0u);
  EXPECT_EQ(read, static_cast<DWORD>(listed.size()));
  NetApiBufferFree(buffer);
  ASSERT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, 1, &read, &total, &left), ERROR_MORE_DATA);
  NetApiBufferFree(buffer);
}

TEST_F(DirectoryTest, GroupMembersJoinOnceAndOnlyIfTheyExist) {
  ASSERT_EQ(add_account(record(name("m1"), nullptr)), 0u);
  ASSERT_EQ(add_account(record(name("m2"), nullptr)), 0u);
  const std::string group = name("grp");
  const std::string group_entry = "cn=" + escape_dn_value(group) + ",ou=groups," + settings_.base;
  const std::string first = "uid=" + name("m1") + ",ou=users," + settings_.base;
  Modifications mods;
  mods.add(LDAP_MOD_ADD, "objectClass", {"groupOfNames"});
  mods.add(LDAP_MOD_ADD, "cn", {group});
  mods.add(LDAP_MOD_ADD, "member", {first});
  ASSERT_EQ(raw([&](LDAP* ld) {
              return ldap_add_ext_s(ld, group_entry.c_str(), mods.get(), nullptr, nullptr);
            }),
            LDAP_SUCCESS);
  entries_.push_back(group_entry);

  auto join = [&](const std::string& g, std::vector<std::string> members) {
    std::vector<std::u16string> wides;
    for (const std::string& m : members) wides.push_back(wide(m));
    std::vector<LOCALGROUP_MEMBERS_INFO_3> list;
    for (std::u16string& w : wides) list.push_back({w.data()});
    return NetLocalGroupAddMembers(nullptr, wide(g).c_str(), 3,
                                   reinterpret_cast<LPBYTE>(list.data()),
                                   static_cast<DWORD>(list.size()));
  };
  EXPECT_EQ(join(group, {name("m2"), name("none")}), ERROR_NO_SUCH_MEMBER);
  EXPECT_EQ(join(group, {name("m2"), name("m1")}), ERROR_MEMBER_IN_ALIAS);  // none joins
  EXPECT_EQ(join(group, {name("m2")}), 0u);
  EXPECT_EQ(join(group, {name("M2")}), ERROR_MEMBER_IN_ALIAS);
  EXPECT_EQ(join(name("nogroup"), {name("m2")}), NERR_GroupNotFound);
  EXPECT_EQ(join("x,cn=" + group, {name("m2")}), NERR_GroupNotFound);
  EXPECT_EQ(join(group + ",ou=groups", {name("m2")}), NERR_GroupNotFound);
}

TEST_F(DirectoryTest, ReplaceKeepsTheEntryAndSwapsItsContent) {
  Record old = record(name("rep"), "old-secret");
  old.has_comment = true;
  old.comment = u"old";
  ASSERT_EQ(add_account(old), 0u);
  const std::string group = name("rgrp");
  const std::string group_entry = "cn=" + escape_dn_value(group) + ",ou=groups," + settings_.base;
  const std::string member = "uid=" + name("rep") + ",ou=users," + settings_.base;
  Modifications mods;
  mods.add(LDAP_MOD_ADD, "objectClass", {"groupOfNames"});
  mods.add(LDAP_MOD_ADD, "cn", {group});
  mods.add(LDAP_MOD_ADD, "member", {settings_.bind_dn, member});
  ASSERT_EQ(raw([&](LDAP* ld) {
              return ldap_add_ext_s(ld, group_entry.c_str(), mods.get(), nullptr, nullptr);
            }),
            LDAP_SUCCESS);
  entries_.push_back(group_entry);

  auto replace = [](Record r, DWORD& removal) {
    DWORD parm = 0;
    removal = 0xFFFF;
    return platform_replace_user(nullptr, reinterpret_cast<USER_INFO_1*>(r.bytes()), &parm,
                                 &removal);
  };
  Record next = record(name("REP"), "new-secret");
  next.has_script_path = true;
  next.script_path = u"new.cmd";
  DWORD removal = 0;
  ASSERT_EQ(replace(next, removal), 0u);
  EXPECT_EQ(removal, 0u);
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, wide(name("rep")).c_str(), 1, &buffer), 0u);
  auto* info = reinterpret_cast<USER_INFO_1*>(buffer);
  EXPECT_EQ(field(info->usri1_name), name("REP"));  // spelt as the replacing record has it
  EXPECT_EQ(info->usri1_comment, nullptr);
  EXPECT_EQ(field(info->usri1_script_path), "new.cmd");
  NetApiBufferFree(buffer);
  EXPECT_EQ(logon(name("rep"), "new-secret"), std::make_pair(TRUE, DWORD{0}));
  EXPECT_EQ(logon(name("rep"), "old-secret").first, FALSE);

  // The old account's membership went; the group's other member stayed.
  Message result;
  LDAP* used = nullptr;
  const char* const attributes[] = {"member", nullptr};
  LdapPtr ld;
  ASSERT_EQ(connect_service(settings_, ld), 0u);
  used = ld.get();
  ASSERT_EQ(search(used, group_entry, LDAP_SCOPE_BASE, "(objectClass=*)", attributes, result),
            LDAP_SUCCESS);
  berval** values = ldap_get_values_len(used, ldap_first_entry(used, result.get()), "member");
  ASSERT_NE(values, nullptr);
  EXPECT_EQ(ldap_count_values_len(values), 1);
  ldap_value_free_len(values);

  // Nothing to replace: nothing is added.
  EXPECT_EQ(replace(record(name("norep")), removal), NERR_UserNotFound);
  EXPECT_EQ(removal, NERR_UserNotFound);
  EXPECT_EQ(NetUserGetInfo(nullptr, wide(name("norep")).c_str(), 1, &buffer), NERR_UserNotFound);
  // A record the add refuses leaves the account as it was.
  EXPECT_EQ(replace(record(name("rep"), ""), removal), NERR_PasswordTooShort);
  EXPECT_EQ(removal, 0u);
  EXPECT_EQ(logon(name("rep"), "new-secret"), std::make_pair(TRUE, DWORD{0}));
}

// The lock is the directory's: read from it by lookups and listings, kept by a set whose
// record still has UF_LOCKOUT, removed by one without, and never stored as a flag.
TEST_F(DirectoryTest, LockoutIsReadFromTheDirectoryAndNeverStored) {
  Record r = record(name("lk"), "Right-1");
  r.flags |= UF_LOCKOUT;
  ASSERT_EQ(add_account(r), 0u);
  auto flags = [&](bool listed) {
    LPBYTE buffer = nullptr;
    DWORD found = 0;
    if (!listed) {
      if (NetUserGetInfo(nullptr, r.name.c_str(), 1, &buffer) != 0) return found;
      found = reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags;
    } else {
      DWORD read = 0, total = 0;
      if (NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr) != 0)
        return found;
      const auto* info = reinterpret_cast<USER_INFO_1*>(buffer);
      for (DWORD i = 0; i < read; ++i)
        if (field(info[i].usri1_name) == name("lk")) found = info[i].usri1_flags;
    }
    NetApiBufferFree(buffer);
    return found;
  };
  EXPECT_EQ(flags(false), r.flags & ~UF_LOCKOUT);
  EXPECT_EQ(logon(name("lk"), "Right-1"), std::make_pair(TRUE, DWORD{0}));

  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(logon(name("lk"), "wrong"), std::make_pair(FALSE, ERROR_LOGON_FAILURE));
  EXPECT_EQ(logon(name("lk"), "Right-1"), std::make_pair(FALSE, ERROR_ACCOUNT_LOCKED_OUT));
  EXPECT_EQ(flags(false), r.flags);
  EXPECT_EQ(flags(true), r.flags);
  Record keep = record(name("lk"), nullptr);
  keep.flags = r.flags;
  ASSERT_EQ(NetUserSetInfo(nullptr, keep.name.c_str(), 1, keep.bytes(), nullptr), 0u);
  EXPECT_EQ(logon(name("lk"), "Right-1"), std::make_pair(FALSE, ERROR_ACCOUNT_LOCKED_OUT));
  keep.flags &= ~UF_LOCKOUT;
  ASSERT_EQ(NetUserSetInfo(nullptr, keep.name.c_str(), 1, keep.bytes(), nullptr), 0u);
  EXPECT_EQ(flags(true), keep.flags);
  EXPECT_EQ(logon(name("lk"), "Right-1"), std::make_pair(TRUE, DWORD{0}));
}

TEST_F(DirectoryTest, AThrottledSourceIsRefusedBeforeAnyBindAndOthersGoOn) {
  char scratch[] = "/tmp/ostrel-sources-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  platform_set_lockout_tally_dir(scratch);
  PlatformLockoutPolicy policy;
  policy.threshold = 2;
  platform_set_lockout_policy(policy);
  const std::string user = name("src");
  ASSERT_EQ(add_account(record(user, "Right-1")), 0u);
  // The directory's own count of wrong passwords of the entry.
  const auto failures = [&] {
    int count = -1;
    raw([&](LDAP* ld) {
      const char* const attributes[] = {"pwdFailureTime", nullptr};
      Message result;
      const int rc =
          search(ld, user_dn(user), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, result);
      LDAPMessage* entry = ldap_first_entry(ld, result.get());
      berval** values =
          entry != nullptr ? ldap_get_values_len(ld, entry, "pwdFailureTime") : nullptr;
      count = ldap_count_values_len(values);
      ldap_value_free_len(values);
      return rc;
    });
    return count;
  };
  platform_set_logon_source("192.0.2.7");
  EXPECT_EQ(logon(user, "wrong-1"), std::make_pair(FALSE, ERROR_LOGON_FAILURE));
  EXPECT_EQ(logon(user, "wrong-2"), std::make_pair(FALSE, ERROR_LOGON_FAILURE));
  const int counted = failures();
  EXPECT_EQ(counted, 2);
  // Past the directory's own threshold, had they been bound.
  for (const char* password : {"wrong-3", "wrong-4", "wrong-5", "wrong-6", "Right-1"}) {
    EXPECT_EQ(logon(user, password), std::make_pair(FALSE, ERROR_ACCOUNT_LOCKED_OUT)) << password;
    EXPECT_EQ(platform_last_logon_refusal(), LogonRefusal::kThrottledSource);
  }
  EXPECT_EQ(failures(), counted);
  platform_set_logon_source("192.0.2.8");
  EXPECT_EQ(logon(user, "Right-1"), std::make_pair(TRUE, DWORD{0}));
  // A set without the flag clears the counts kept on the host too.
  Record keep = record(user, nullptr);
  ASSERT_EQ(NetUserSetInfo(nullptr, keep.name.c_str(), 1, keep.bytes(), nullptr), 0u);
  platform_set_logon_source("192.0.2.7");
  EXPECT_EQ(logon(user, "Right-1"), std::make_pair(TRUE, DWORD{0}));
  // A stale password a device repeats reaches the directory once, and its owner still
  // logs in.
  platform_set_logon_source("192.0.2.9");
  const int before = failures();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(logon(user, "old-password"), std::make_pair(FALSE, ERROR_LOGON_FAILURE));
  EXPECT_EQ(platform_last_logon_refusal(), LogonRefusal::kRepeatedPassword);
  EXPECT_EQ(failures(), before + 1);
  EXPECT_EQ(logon(user, "Right-1"), std::make_pair(TRUE, DWORD{0}));
  platform_set_logon_source(nullptr);
  platform_set_lockout_policy(PlatformLockoutPolicy{});
  platform_set_lockout_tally_dir(nullptr);
  std::filesystem::remove_all(scratch);
}

TEST_F(DirectoryTest, EntriesWrittenByOtherToolsAreReadByTheirOwnName) {
  // Entries another tool wrote: a second uid value naming another account, a comment that
  // is not UTF-8, a 200 KB comment. Each is read and listed by its own name; none hides,
  // takes over or stops the others.
  ASSERT_EQ(add_account(record(name("al"), "Al-Pw-1")), 0u);
  const std::string bytes = "Jos\xe9 M\xfcller";
  const struct {
    std::string uid, second, comment;
  } entries[] = {{name("multi"), name("al"), "m"},
                 {name("latin"), "", bytes},
                 {name("huge"), "", std::string(200000, 'x')},
                 {name("quote"), "", "x\" home=\"/srv/mail/victim"}};
  for (const auto& e : entries) {
    Modifications mods;
    mods.add(LDAP_MOD_ADD, "objectClass", {"inetOrgPerson", "netUserAccount"});
    std::vector<std::string_view> uids{e.uid};
    if (!e.second.empty()) uids.push_back(e.second);
    mods.add(LDAP_MOD_ADD, "uid", uids);
    mods.add(LDAP_MOD_ADD, "cn", {e.uid});
    mods.add(LDAP_MOD_ADD, "sn", {e.uid});
    mods.add(LDAP_MOD_ADD, "userPassword", {"Other-Pw-2"});
    mods.add(LDAP_MOD_ADD, "netUserComment", {e.comment});
    const std::string dn = "uid=" + e.uid + ",ou=users," + settings_.base;
    ASSERT_EQ(
        raw([&](LDAP* ld) { return ldap_add_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr); }),
        LDAP_SUCCESS)
        << e.uid;
    entries_.push_back(dn);
  }

  EXPECT_EQ(logon(name("al"), "Al-Pw-1"), std::make_pair(TRUE, DWORD{0}));
  EXPECT_EQ(logon(name("al"), "Other-Pw-2"), std::make_pair(FALSE, ERROR_LOGON_FAILURE));
  LPBYTE buffer = nullptr;
  DWORD read = 0, total = 0;
  ASSERT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr), 0u);
  std::multiset<std::string> listed;
  const auto* info = reinterpret_cast<USER_INFO_1*>(buffer);
  for (DWORD i = 0; i < read; ++i) {
    listed.insert(field(info[i].usri1_name));
    // Bytes that are not UTF-8 stay apart as lone surrogates, which no conversion shows.
    if (field(info[i].usri1_name) == name("latin")) {
      EXPECT_EQ(info[i].usri1_comment[3], 0xDCE9);
    }
  }
  NetApiBufferFree(buffer);
  for (const char* each : {"al", "multi", "latin", "huge", "quote"})
    EXPECT_EQ(listed.count(name(each)), 1u) << each;
  // A quote in a value cannot forge another attribute into the replies.
  ASSERT_EQ(NetUserGetInfo(nullptr, wide(name("quote")).c_str(), 1, &buffer), 0u);
  char text[kMessageBuffer];
  EXPECT_FALSE(format_account_attributes(reinterpret_cast<USER_INFO_1*>(buffer), "quote", text));
  NetApiBufferFree(buffer);

  // A new password for al and al's deletion leave multi as it was.
  Record change = record(name("al"), "Al-Pw-3");
  ASSERT_EQ(NetUserSetInfo(nullptr, change.name.c_str(), 1, change.bytes(), nullptr), 0u);
  EXPECT_EQ(NetUserDel(nullptr, wide(name("al")).c_str()), 0u);
  EXPECT_EQ(logon(name("multi"), "Other-Pw-2"), std::make_pair(TRUE, DWORD{0}));
}

}  // namespace
}  // namespace ostrel_posix
