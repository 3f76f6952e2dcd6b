#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

class LogonTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(add(record("alice", "Wonder!land")), 0u);
    Record carol = record("carol", "Wonder!land");
    carol.flags |= UF_ACCOUNTDISABLE;
    ASSERT_EQ(add(carol), 0u);
    ASSERT_EQ(add(record("nopass", nullptr)), 0u);
  }

  // The logon's result and last error; a token is closed at once.
  std::pair<BOOL, DWORD> logon(const std::u16string& user, const WCHAR* domain,
                               const std::u16string& password) {
    HANDLE token = nullptr;
    SetLastError(0);
    const BOOL ok = LogonUserW(user.c_str(), domain, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                               LOGON32_PROVIDER_DEFAULT, &token);
    const DWORD error = GetLastError();
    if (ok) {
      EXPECT_NE(token, nullptr);
      EXPECT_TRUE(CloseHandle(token));
    } else {
      EXPECT_EQ(token, nullptr);
    }
    return {ok, error};
  }

  std::string stored_hash(const char* key) {
    sqlite3* db = nullptr;
    std::string hash;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT password_hash FROM accounts WHERE name_key = ?1", -1, &stmt,
                           nullptr) == SQLITE_OK) {
      sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC);
      if (sqlite3_step(stmt) == SQLITE_ROW)
        hash = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return hash;
  }
};

TEST_F(LogonTest, RightWrongUnknownDisabledAndForeign) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::u16string this_host = u"\\\\" + wide(host);
  const std::u16string right = u"Wonder!land";
  struct Row {
    const char* label;
    std::u16string user;
    const WCHAR* domain;
    std::u16string password;
    BOOL ok;
    DWORD error;
  };
  const Row rows[] = {
      {"right", u"alice", nullptr, right, TRUE, 0},
      {"name in other case, dot domain", u"ALICE", u".", right, TRUE, 0},
      {"this computer as domain", u"alice", this_host.c_str(), right, TRUE, 0},
      {"localhost", u"alice", u"localhost", right, TRUE, 0},
      {"wrong password", u"alice", nullptr, u"Wonder!lane", FALSE, ERROR_LOGON_FAILURE},
      {"password in other case", u"alice", nullptr, u"wonder!land", FALSE, ERROR_LOGON_FAILURE},
      {"empty password", u"alice", nullptr, u"", FALSE, ERROR_LOGON_FAILURE},
      {"unknown user", u"ghost", nullptr, right, FALSE, ERROR_LOGON_FAILURE},
      {"invalid user name", u"bad/name", nullptr, right, FALSE, ERROR_LOGON_FAILURE},
      {"overlong password", u"alice", nullptr, std::u16string(257, u'p'), FALSE,
       ERROR_LOGON_FAILURE},
      {"disabled, right password", u"carol", nullptr, right, FALSE, ERROR_ACCOUNT_DISABLED},
      {"disabled, wrong password", u"carol", nullptr, u"nope", FALSE, ERROR_LOGON_FAILURE},
      {"account without a password", u"nopass", nullptr, u"", FALSE, ERROR_LOGON_FAILURE},
      {"another computer", u"alice", u"\\\\ELSEWHERE", right, FALSE, ERROR_LOGON_FAILURE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const auto [ok, error] = logon(row.user, row.domain, row.password);
    EXPECT_EQ(ok, row.ok);
    if (!row.ok) {
      EXPECT_EQ(error, row.error);
    }
  }

  platform_inject_fault("LogonUserW", ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(logon(u"alice", nullptr, right), std::make_pair(FALSE, ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_EQ(LogonUserW(u"alice", nullptr, right.c_str(), LOGON32_LOGON_INTERACTIVE,
                       LOGON32_PROVIDER_DEFAULT, nullptr),
            FALSE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  HANDLE token = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", nullptr, right.c_str(), LOGON32_LOGON_INTERACTIVE,
                         LOGON32_PROVIDER_DEFAULT, &token));
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(CloseHandle(token));  // closed already: refused, not freed twice
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(LogonTest, HashMadeWithOtherParametersIsRenewedOnRightPassword) {
  const std::string before = stored_hash("ALICE");
  ASSERT_NE(before.find(",t=1,"), std::string::npos) << before;
  platform_set_hash_limits_for_tests(crypto_pwhash_OPSLIMIT_MIN + 1, crypto_pwhash_MEMLIMIT_MIN);
  EXPECT_FALSE(logon(u"alice", nullptr, u"wrong").first);
  EXPECT_EQ(stored_hash("ALICE"), before);
  EXPECT_TRUE(logon(u"alice", nullptr, u"Wonder!land").first);
  const std::string after = stored_hash("ALICE");
  EXPECT_NE(after.find(",t=2,"), std::string::npos) << after;
  EXPECT_TRUE(logon(u"alice", nullptr, u"Wonder!land").first);
}

}  // namespace
}  // namespace ostrel_posix
