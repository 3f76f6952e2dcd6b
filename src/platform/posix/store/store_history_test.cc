// The password policy on the store: the rules every backend shares refuse before anything
// changes, and the store remembers an account's former passwords across several changes.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

std::string refused_rule;

class StoreHistoryTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    platform_set_password_reporter([](const char*, const char* rule) { refused_rule = rule; });
    platform_set_password_policy({8, false, 3, nullptr});
  }
  void TearDown() override {
    platform_set_password_policy(PlatformPasswordPolicy{});
    platform_set_password_reporter(nullptr);
    StoreTest::TearDown();
  }
  long former_hashes(const char* key) {
    sqlite3* db = nullptr;
    sqlite3_open(db_.c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM password_history WHERE name_key = ?1", -1, &stmt,
                       nullptr);
    sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC);
    const long n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
  }
  bool logs_on(const char16_t* user, const char16_t* password) {
    HANDLE token = nullptr;
    const BOOL ok = LogonUserW(user, nullptr, password, LOGON32_LOGON_INTERACTIVE,
                               LOGON32_PROVIDER_DEFAULT, &token);
    if (ok) CloseHandle(token);
    return ok != 0;
  }
};

// A set with a password on an existing account is a replacement (the set command's path)
// or an update; both remember the account's former passwords, three in all with the
// current one, and the oldest falls out.
TEST_F(StoreHistoryTest, FormerPasswordsAreRefusedAcrossSeveralChanges) {
  ASSERT_EQ(add(record("alice", "Password1")), 0u);
  const struct {
    bool replace;  // else NetUserSetInfo
    const char* password;
    DWORD expected;
    const char* rule;
  } steps[] = {
      {true, "short", NERR_PasswordTooShort, "shorter than 8 characters"},
      {true, "Password1", NERR_PasswordTooShort, "one of the last 3 passwords"},
      {true, "Password2", 0, ""},
      {false, "Password3", 0, ""},
      {true, "Password1", NERR_PasswordTooShort, "one of the last 3 passwords"},
      {false, "Password2", NERR_PasswordTooShort, "one of the last 3 passwords"},
      {true, "Password4", 0, ""},
      {true, "Password1", 0, ""},  // four changes ago
  };
  const char* current = "Password1";
  for (const auto& step : steps) {
    Record r = record("alice", step.password);
    const LPBYTE bytes = r.bytes();
    DWORD parm = 0, removal = 0;
    refused_rule.clear();
    const DWORD rc = step.replace ? platform_replace_user(nullptr, &r.info, &parm, &removal)
                                  : NetUserSetInfo(nullptr, u"alice", 1, bytes, &parm);
    EXPECT_EQ(rc, step.expected) << step.password;
    EXPECT_EQ(removal, 0u);
    EXPECT_EQ(refused_rule, step.rule) << step.password;
    if (rc == 0) current = step.password;
    EXPECT_TRUE(logs_on(u"alice", wide(current).c_str())) << "after " << step.password;
    EXPECT_LE(former_hashes("ALICE"), 2);
  }
  // The former passwords go with the account.
  ASSERT_EQ(NetUserDel(nullptr, u"alice"), 0u);
  EXPECT_EQ(former_hashes("ALICE"), 0);
  ASSERT_EQ(add(record("alice", "Password4")), 0u);
  Record again = record("alice", "Password3");
  again.bytes();
  DWORD parm = 0, removal = 0;
  EXPECT_EQ(platform_replace_user(nullptr, &again.info, &parm, &removal), 0u);
}

}  // namespace
}  // namespace ostrel_posix
