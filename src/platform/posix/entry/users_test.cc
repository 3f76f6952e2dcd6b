#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/common/names.h"
#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

class UsersTest : public StoreTest {
 protected:
  // Reads an account; the record is released at once and returned as values.
  struct Read {
    DWORD status = 0;
    std::string name, password, home_dir, comment, script_path;
    DWORD priv = 0, flags = 0, age = 0;
  };
  Read read(const std::u16string& name, const WCHAR* server = nullptr) {
    LPBYTE buffer = nullptr;
    Read r;
    r.status = NetUserGetInfo(server, name.c_str(), 1, &buffer);
    if (r.status == 0) {
      const auto* info = reinterpret_cast<const USER_INFO_1*>(buffer);
      r.name = narrow(info->usri1_name);
      r.password = narrow(info->usri1_password);
      r.home_dir = narrow(info->usri1_home_dir);
      r.comment = narrow(info->usri1_comment);
      r.script_path = narrow(info->usri1_script_path);
      r.priv = info->usri1_priv;
      r.flags = info->usri1_flags;
      r.age = info->usri1_password_age;
    }
    NetApiBufferFree(buffer);
    return r;
  }

  BOOL logon(const std::u16string& name, const std::u16string& password) {
    HANDLE token = nullptr;
    const BOOL ok = LogonUserW(name.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                               LOGON32_PROVIDER_DEFAULT, &token);
    if (ok) CloseHandle(token);
    return ok;
  }

  DWORD join(const std::u16string& group, std::vector<std::u16string> members) {
    std::vector<LOCALGROUP_MEMBERS_INFO_3> infos;
    for (std::u16string& member : members) infos.push_back({member.data()});
    return NetLocalGroupAddMembers(nullptr, group.c_str(), 3,
                                   reinterpret_cast<LPBYTE>(infos.data()),
                                   static_cast<DWORD>(infos.size()));
  }
};

TEST_F(UsersTest, AddAndReadBackKeepsAbsentAndEmptyApart) {
  Record alice = record("Alice");
  alice.has_home_dir = true;  // empty text
  alice.has_script_path = true;
  alice.script_path = u"logon.cmd";
  ASSERT_EQ(add(alice), 0u);

  for (const char* spelling : {"Alice", "ALICE", "alice"}) {
    SCOPED_TRACE(spelling);
    const Read r = read(wide(spelling));
    ASSERT_EQ(r.status, 0u);
    EXPECT_EQ(r.name, "Alice");  // as created
    EXPECT_EQ(r.password, "(null)");
    EXPECT_EQ(r.home_dir, "");
    EXPECT_EQ(r.comment, "(null)");
    EXPECT_EQ(r.script_path, "logon.cmd");
    EXPECT_EQ(r.priv, USER_PRIV_USER);
    EXPECT_EQ(r.flags, UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD);
    EXPECT_LT(r.age, 5u);
  }
  EXPECT_EQ(add(record("aLiCe")), NERR_UserExists);
  ASSERT_EQ(add(record("Ärger")), 0u);
  EXPECT_EQ(add(record("äRGER")), NERR_UserExists);
  EXPECT_EQ(read(u"ÄRGER").name, "Ärger");
  EXPECT_EQ(read(u"nobody").status, NERR_UserNotFound);

  // Flags without an account type are stored as a normal account.
  Record plain = record("plain", nullptr);
  plain.flags = UF_SCRIPT;
  ASSERT_EQ(add(plain), 0u);
  EXPECT_EQ(read(u"plain").flags, UF_SCRIPT | UF_NORMAL_ACCOUNT);
}

TEST_F(UsersTest, RefusedFieldsNameTheirParameterIndex) {
  struct Row {
    const char* label;
    Record r;
    DWORD status;
    DWORD parm;
  };
  auto with = [](auto change) {
    Record r = record("valid");
    change(r);
    return r;
  };
  const std::u16string long_text(512, u'x');
  const std::u16string longest_text(511, u'x');
  std::vector<Row> rows = {
      {"empty name", record(""), ERROR_INVALID_PARAMETER, 1},
      {"255 units", record(std::string(243, 'n') + "@example.org"), ERROR_INVALID_PARAMETER, 1},
      {"slash", record("a/b"), ERROR_INVALID_PARAMETER, 1},
      {"backslash", record("a\\b"), ERROR_INVALID_PARAMETER, 1},
      {"question mark", record("who?"), ERROR_INVALID_PARAMETER, 1},
      {"control character", record("tab\tname"), ERROR_INVALID_PARAMETER, 1},
      {"only dots and blanks", record(". .."), ERROR_INVALID_PARAMETER, 1},
      {"257 units", record("valid", std::string(257, 'p').c_str()), ERROR_INVALID_PARAMETER, 2},
      {"empty password", record("valid", ""), NERR_PasswordTooShort, 0},
      {"priv", with([](Record& r) { r.priv = 3; }), ERROR_INVALID_PARAMETER, 4},
      {"home", with([&](Record& r) { r.has_home_dir = true, r.home_dir = long_text; }),
       ERROR_INVALID_PARAMETER, 5},
      {"comment", with([&](Record& r) { r.has_comment = true, r.comment = long_text; }),
       ERROR_INVALID_PARAMETER, 6},
      {"comment not UTF-16", with([](Record& r) { r.has_comment = true, r.comment = u"\xD800"; }),
       ERROR_INVALID_PARAMETER, 6},
      {"two account types",
       with([](Record& r) { r.flags = UF_NORMAL_ACCOUNT | UF_WORKSTATION_TRUST_ACCOUNT; }),
       ERROR_INVALID_PARAMETER, 7},
      {"script", with([&](Record& r) { r.has_script_path = true, r.script_path = long_text; }),
       ERROR_INVALID_PARAMETER, 8},
      {"at every limit", with([&](Record& r) {
         r.name = wide(std::string(242, 'n') + "@example.org");
         r.password = std::u16string(256, u'p');
         r.has_comment = true, r.comment = longest_text;
       }),
       0, 0},
      {"dots within a name", record(".a."), 0, 0},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.label);
    DWORD parm = 0;
    EXPECT_EQ(NetUserAdd(nullptr, 1, row.r.bytes(), &parm), row.status);
    EXPECT_EQ(parm, row.parm);
  }
  Record r = record("other");
  DWORD parm = 0;
  EXPECT_EQ(NetUserAdd(nullptr, 2, r.bytes(), &parm), ERROR_INVALID_LEVEL);
  EXPECT_EQ(NetUserAdd(nullptr, 1, nullptr, &parm), ERROR_INVALID_PARAMETER);
  platform_inject_fault("NetUserAdd", ERROR_INVALID_PARAMETER, 3);
  EXPECT_EQ(NetUserAdd(nullptr, 1, r.bytes(), &parm), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(parm, 3u);
  EXPECT_EQ(NetUserAdd(nullptr, 1, r.bytes(), &parm), 0u);  // the fault was used up
}

TEST_F(UsersTest, UpdateWritesFieldsAndPasswordOnlyWhenGiven) {
  Record alice = record("alice", "old-secret");
  alice.has_home_dir = true, alice.home_dir = u"/home/alice";
  ASSERT_EQ(add(alice), 0u);

  Record change = record("renamed?", nullptr);  // the record's name is not used
  change.has_comment = true, change.comment = u"Reader";
  change.priv = USER_PRIV_ADMIN;
  DWORD parm = 0;
  ASSERT_EQ(NetUserSetInfo(nullptr, u"ALICE", 1, change.bytes(), &parm), 0u);
  Read r = read(u"alice");
  EXPECT_EQ(r.name, "alice");
  EXPECT_EQ(r.home_dir, "(null)");  // a null field makes it absent
  EXPECT_EQ(r.comment, "Reader");
  EXPECT_EQ(r.priv, USER_PRIV_ADMIN);
  EXPECT_TRUE(logon(u"alice", u"old-secret"));  // the hash was kept

  change.has_password = true, change.password = u"new-secret";
  ASSERT_EQ(NetUserSetInfo(nullptr, u"alice", 1, change.bytes(), &parm), 0u);
  EXPECT_FALSE(logon(u"alice", u"old-secret"));
  EXPECT_TRUE(logon(u"alice", u"new-secret"));

  change.password = u"";
  EXPECT_EQ(NetUserSetInfo(nullptr, u"alice", 1, change.bytes(), &parm), NERR_PasswordTooShort);
  change.has_password = false;
  change.has_script_path = true, change.script_path = std::u16string(512, u's');
  EXPECT_EQ(NetUserSetInfo(nullptr, u"alice", 1, change.bytes(), &parm), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(parm, 8u);
  change.has_script_path = false;
  EXPECT_EQ(NetUserSetInfo(nullptr, u"bob", 1, change.bytes(), &parm), NERR_UserNotFound);
  EXPECT_EQ(NetUserSetInfo(nullptr, u"bad/name", 1, change.bytes(), &parm), NERR_UserNotFound);
}

TEST_F(UsersTest, DeleteRemovesTheAccountAndItsMemberships) {
  ASSERT_EQ(add(record("alice")), 0u);
  ASSERT_EQ(join(u"Users", {u"alice"}), 0u);
  EXPECT_EQ(join(u"USERS", {u"Alice"}), ERROR_MEMBER_IN_ALIAS);
  EXPECT_EQ(NetUserDel(nullptr, u"ALICE"), 0u);
  EXPECT_EQ(NetUserDel(nullptr, u"alice"), NERR_UserNotFound);
  EXPECT_EQ(read(u"alice").status, NERR_UserNotFound);
  ASSERT_EQ(add(record("alice")), 0u);
  EXPECT_EQ(join(u"Users", {u"alice"}), 0u);  // the old membership went with the account
}

TEST_F(UsersTest, GroupMembershipResults) {
  ASSERT_EQ(add(record("alice")), 0u);
  ASSERT_EQ(add(record("bob")), 0u);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  struct Row {
    const char* label;
    std::u16string group;
    std::vector<std::u16string> members;
    DWORD status;
  };
  const Row rows[] = {
      {"no such group", u"Readers", {u"alice"}, NERR_GroupNotFound},
      {"no such account", u"Users", {u"ghost"}, ERROR_NO_SUCH_MEMBER},
      {"invalid name", u"Users", {u"bad/name"}, ERROR_INVALID_MEMBER},
      {"another computer's account", u"Users", {u"ELSEWHERE\\alice"}, ERROR_NO_SUCH_MEMBER},
      {"all or none", u"Guests", {u"bob", u"ghost"}, ERROR_NO_SUCH_MEMBER},
      {"this computer's account", u"administrators", {wide(host) + u"\\alice"}, 0},
      {"dot domain", u"Guests", {u".\\bob"}, 0},
      {"already a member", u"Guests", {u"BOB"}, ERROR_MEMBER_IN_ALIAS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(join(row.group, row.members), row.status);
  }
  EXPECT_EQ(NetLocalGroupAddMembers(nullptr, u"Users", 0, nullptr, 0), ERROR_INVALID_LEVEL);
}

TEST_F(UsersTest, OnlyThisComputerIsServed) {
  ASSERT_EQ(add(record("alice")), 0u);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string upper = host;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const std::string& server : {std::string(), "\\\\" + upper, std::string(host),
                                    std::string("localhost"), std::string("\\\\LocalHost")}) {
    SCOPED_TRACE(server);
    EXPECT_EQ(read(u"alice", server.empty() ? nullptr : wide(server).c_str()).status, 0u);
  }
  const std::u16string other = u"\\\\elsewhere";
  Record r = record("bob");
  DWORD parm = 0;
  LPBYTE buffer = nullptr;
  DWORD read_count = 0, total = 0;
  LOCALGROUP_MEMBERS_INFO_3 member{r.name.data()};
  EXPECT_EQ(read(u"alice", other.c_str()).status, ERROR_BAD_NETPATH);
  EXPECT_EQ(NetUserAdd(other.c_str(), 1, r.bytes(), &parm), ERROR_BAD_NETPATH);
  EXPECT_EQ(NetUserSetInfo(other.c_str(), u"alice", 1, r.bytes(), &parm), ERROR_BAD_NETPATH);
  EXPECT_EQ(NetUserDel(u"elsewhere", u"alice"), ERROR_BAD_NETPATH);
  EXPECT_EQ(
      NetUserEnum(other.c_str(), 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read_count, &total, nullptr),
      ERROR_BAD_NETPATH);
  EXPECT_EQ(
      NetLocalGroupAddMembers(other.c_str(), u"Users", 3, reinterpret_cast<LPBYTE>(&member), 1),
      ERROR_BAD_NETPATH);
  EXPECT_EQ(read(u"alice").status, 0u);
}

// Replaces an account through the one-step call; the two codes it reports.
struct Replaced {
  DWORD removal = 0, result = 0, parm = 0;
};
Replaced replace(Record r, const WCHAR* server = nullptr) {
  Replaced out;
  out.removal = 0xFFFF;
  out.result = platform_replace_user(server, reinterpret_cast<USER_INFO_1*>(r.bytes()), &out.parm,
                                     &out.removal);
  return out;
}

TEST_F(UsersTest, ReplaceSwapsTheAccountInOneStep) {
  Record old = record("alice", "old-secret");
  old.has_comment = true;
  old.comment = u"old";
  ASSERT_EQ(add(old), 0u);
  ASSERT_EQ(join(u"Users", {u"alice"}), 0u);

  Record next = record("ALICE", "new-secret");
  next.has_script_path = true;
  next.script_path = u"new.cmd";
  const Replaced done = replace(next);
  EXPECT_EQ(done.removal, 0u);
  EXPECT_EQ(done.result, 0u);
  const Read r = read(u"alice");
  EXPECT_EQ(r.name, "ALICE");  // as the replacing record spells it
  EXPECT_EQ(r.comment, "(null)");
  EXPECT_EQ(r.script_path, "new.cmd");
  EXPECT_TRUE(logon(u"alice", u"new-secret"));
  EXPECT_FALSE(logon(u"alice", u"old-secret"));
  EXPECT_EQ(join(u"Users", {u"alice"}), 0u);  // the old membership went with the old account

  // Nothing to remove: nothing is added either.
  const Replaced missing = replace(record("ghost"));
  EXPECT_EQ(missing.removal, NERR_UserNotFound);
  EXPECT_EQ(missing.result, NERR_UserNotFound);
  EXPECT_EQ(read(u"ghost").status, NERR_UserNotFound);
}

TEST_F(UsersTest, FailedReplaceLeavesTheOldAccountAsItWas) {
  ASSERT_EQ(add(record("bob", "old-secret")), 0u);
  ASSERT_EQ(join(u"Guests", {u"bob"}), 0u);
  const std::u16string long_comment(512, u'c');
  struct Row {
    const char* label;
    const char* fault;  // injected before the call, or null
    DWORD fault_code;
    Record record;
    const char16_t* server;
    Replaced expected;
  };
  Record bad_comment = record("bob", "new-secret");
  bad_comment.has_comment = true;
  bad_comment.comment = long_comment;
  const Row rows[] = {
      // The insert fails after the removal, inside the same transaction.
      {"insert fails",
       "insert_account",
       ERROR_DISK_FULL,
       record("bob", "new-secret"),
       nullptr,
       {0, ERROR_DISK_FULL, 0}},
      {"removal refused",
       "NetUserDel",
       ERROR_ACCESS_DENIED,
       record("bob", "new-secret"),
       nullptr,
       {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0}},
      {"record the add refuses",
       nullptr,
       0,
       bad_comment,
       nullptr,
       {0, ERROR_INVALID_PARAMETER, kParmComment}},
      {"empty password", nullptr, 0, record("bob", ""), nullptr, {0, NERR_PasswordTooShort, 0}},
      {"another computer",
       nullptr,
       0,
       record("bob", "new-secret"),
       u"\\\\elsewhere",
       {ERROR_BAD_NETPATH, ERROR_BAD_NETPATH, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    if (row.fault != nullptr) platform_inject_fault(row.fault, row.fault_code);
    const Replaced got = replace(row.record, row.server);
    EXPECT_EQ(got.removal, row.expected.removal);
    EXPECT_EQ(got.result, row.expected.result);
    EXPECT_EQ(got.parm, row.expected.parm);
    EXPECT_TRUE(logon(u"bob", u"old-secret"));
    EXPECT_EQ(join(u"Guests", {u"bob"}), ERROR_MEMBER_IN_ALIAS);  // still a member
  }
  // The store counts the account once, and still works after the rolled-back transaction.
  LPBYTE buffer = nullptr;
  DWORD read_count = 0, total = 0;
  ASSERT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read_count, &total, nullptr),
            0u);
  NetApiBufferFree(buffer);
  EXPECT_EQ(total, 1u);
  EXPECT_EQ(replace(record("Bob", "new-secret")).result, 0u);
  EXPECT_TRUE(logon(u"bob", u"new-secret"));
}

TEST_F(UsersTest, StoreHoldsAnArgon2idHashAndNeverThePassword) {
  ASSERT_EQ(add(record("alice", "Sw0rdfish-in-clear")), 0u);
  ASSERT_EQ(add(record("nopass", nullptr)), 0u);
  platform_close_store();

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT name, password_hash FROM accounts ORDER BY name_key", -1,
                               &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  const std::string hash = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
  EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_type(stmt, 1), SQLITE_NULL);  // no password, no hash
  sqlite3_finalize(stmt);
  sqlite3_close(db);

  for (const std::string& file : {db_, db_ + "-wal"}) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_EQ(bytes.str().find("Sw0rdfish"), std::string::npos) << file;
  }
}

}  // namespace
}  // namespace ostrel_posix
