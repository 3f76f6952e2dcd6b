#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <utility>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

class StoreLockoutTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    policy(3, 30, 10);
  }
  void TearDown() override {
    platform_set_lockout_policy(PlatformLockoutPolicy{});
    StoreTest::TearDown();
  }

  static void policy(unsigned threshold, unsigned duration, unsigned window) {
    platform_set_lockout_policy(PlatformLockoutPolicy{threshold, duration, window});
  }

  static DWORD logon(const char16_t* user, const char16_t* password) {
    HANDLE token = nullptr;
    if (LogonUserW(user, nullptr, password, LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT,
                   &token)) {
      CloseHandle(token);
      return 0;
    }
    return GetLastError();
  }

  static DWORD flags_of(const char16_t* user) {
    LPBYTE buffer = nullptr;
    EXPECT_EQ(NetUserGetInfo(nullptr, user, 1, &buffer), 0u);
    const DWORD flags = buffer ? reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags : 0;
    NetApiBufferFree(buffer);
    return flags;
  }

  // Moves every time the store kept for its counts back by seconds, as if they had passed.
  void age(int seconds) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    const std::string by = std::to_string(seconds);
    for (const char* table : {"logon_tallies", "source_tallies"}) {
      const std::string sql = std::string("UPDATE ") + table + " SET last_bad = last_bad - " + by +
                              ", locked_since = CASE locked_since WHEN 0 "
                              "THEN 0 ELSE locked_since - " +
                              by + " END";
      EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    }
    const std::string recent = "UPDATE recent_wrong SET at = at - " + by;
    EXPECT_EQ(sqlite3_exec(db, recent.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }

  // A logon from source (null: none), and why it was refused.
  static std::pair<DWORD, LogonRefusal> from(const char* source, const char16_t* user,
                                             const char16_t* password) {
    platform_set_logon_source(source);
    const DWORD code = logon(user, password);
    platform_set_logon_source(nullptr);
    return {code, platform_last_logon_refusal()};
  }
};

TEST_F(StoreLockoutTest, CountLocksWindowRestartsItAndTheLockRunsOut) {
  ASSERT_EQ(add(record("carol", "right")), 0u);
  // A right password before the threshold clears the count.
  EXPECT_EQ(logon(u"carol", u"bad1"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(u"carol", u"bad2"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(u"carol", u"right"), 0u);
  EXPECT_EQ(logon(u"carol", u"bad3"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(u"carol", u"bad4"), ERROR_LOGON_FAILURE);
  // Wrong passwords further apart than the window start the count again.
  age(10 * 60);
  EXPECT_EQ(logon(u"carol", u"bad5"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(u"carol", u"bad6"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(flags_of(u"carol") & UF_LOCKOUT, 0u);
  EXPECT_EQ(logon(u"carol", u"bad7"), ERROR_LOGON_FAILURE);  // the third in the window
  EXPECT_EQ(logon(u"carol", u"right"), ERROR_ACCOUNT_LOCKED_OUT);
  EXPECT_EQ(logon(u"carol", u"bad8"), ERROR_ACCOUNT_LOCKED_OUT);
  EXPECT_NE(flags_of(u"carol") & UF_LOCKOUT, 0u);

  DWORD total = 0, read = 0;
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr), 0u);
  ASSERT_EQ(read, 1u);
  EXPECT_NE(reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags & UF_LOCKOUT, 0u);
  NetApiBufferFree(buffer);

  age(29 * 60);
  EXPECT_EQ(logon(u"carol", u"right"), ERROR_ACCOUNT_LOCKED_OUT);
  age(60);
  EXPECT_EQ(flags_of(u"carol") & UF_LOCKOUT, 0u);
  EXPECT_EQ(logon(u"carol", u"right"), 0u);
  // The count starts at 0 after the lock.
  EXPECT_EQ(logon(u"carol", u"bad9"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(u"carol", u"right"), 0u);

  // Unknown names and accounts without a password are never locked.
  ASSERT_EQ(add(record("nopass", nullptr)), 0u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(logon(u"stranger", u"guess"), ERROR_LOGON_FAILURE);
    EXPECT_EQ(logon(u"nopass", u"guess"), ERROR_LOGON_FAILURE);
  }
  EXPECT_EQ(flags_of(u"nopass") & UF_LOCKOUT, 0u);
}

TEST_F(StoreLockoutTest, OnlyASetThatClearsTheFlagOrANewPasswordUnlocks) {
  policy(2, 0, 30);  // a lock without end
  ASSERT_EQ(add(record("dave", "right")), 0u);
  auto lock_out = [this] {
    EXPECT_EQ(logon(u"dave", u"bad1"), ERROR_LOGON_FAILURE);
    EXPECT_EQ(logon(u"dave", u"bad2"), ERROR_LOGON_FAILURE);
    age(365 * 24 * 3600);
    EXPECT_EQ(logon(u"dave", u"right"), ERROR_ACCOUNT_LOCKED_OUT);
  };
  lock_out();

  // The record read back, flag and all, keeps the lock; the flag itself is never stored.
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"dave", 1, &buffer), 0u);
  auto* info = reinterpret_cast<USER_INFO_1*>(buffer);
  ASSERT_NE(info->usri1_flags & UF_LOCKOUT, 0u);
  DWORD parm = 0;
  EXPECT_EQ(NetUserSetInfo(nullptr, u"dave", 1, buffer, &parm), 0u);
  EXPECT_EQ(logon(u"dave", u"right"), ERROR_ACCOUNT_LOCKED_OUT);
  info->usri1_flags &= ~UF_LOCKOUT;
  EXPECT_EQ(NetUserSetInfo(nullptr, u"dave", 1, buffer, &parm), 0u);
  NetApiBufferFree(buffer);
  EXPECT_EQ(logon(u"dave", u"right"), 0u);

  // Replaced with a new password: unlocked, the new password holds.
  lock_out();
  Record fresh = record("dave", "newer");
  DWORD removal = 1;
  EXPECT_EQ(platform_replace_user(nullptr, reinterpret_cast<USER_INFO_1*>(fresh.bytes()), &parm,
                                  &removal),
            0u);
  EXPECT_EQ(logon(u"dave", u"newer"), 0u);

  // With the policy off, nothing locks.
  policy(0, 30, 30);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(logon(u"dave", u"bad"), ERROR_LOGON_FAILURE);
  EXPECT_EQ(logon(u"dave", u"newer"), 0u);
}

// Per source of logins: a guessing address is throttled for that account alone, the owner
// elsewhere logs in, a stale password repeated counts once, and the account as a whole
// locks only when all sources together reach the account-wide threshold.
TEST_F(StoreLockoutTest, SourcesAreThrottledAloneAndTheAccountLocksAtItsOwnThreshold) {
  platform_set_lockout_policy(PlatformLockoutPolicy{3, 30, 10, 7});
  ASSERT_EQ(add(record("erin", "right")), 0u);
  using R = LogonRefusal;
  const std::pair<DWORD, R> wrong{ERROR_LOGON_FAILURE, R::kWrongPassword};
  const std::pair<DWORD, R> throttled{ERROR_ACCOUNT_LOCKED_OUT, R::kThrottledSource};
  const std::pair<DWORD, R> accepted{0, R::kNone};
  const std::pair<DWORD, R> repeated{ERROR_LOGON_FAILURE, R::kRepeatedPassword};
  EXPECT_EQ(from("192.0.2.1", u"erin", u"guess1"), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"guess2"), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"guess3"), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"right"), throttled);  // at a wrong password's cost
  EXPECT_EQ(from("198.51.100.7", u"erin", u"right"), accepted);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"right"), throttled);
  // IPv6 counts per /64: another host of the same network is the same source.
  EXPECT_EQ(from("2001:db8:1:2::10", u"erin", u"guess4"), wrong);
  EXPECT_EQ(from("2001:db8:1:2::11", u"erin", u"guess5"), wrong);
  // A phone repeating its stale password counts once, and its owner still logs in from it.
  EXPECT_EQ(from("203.0.113.5", u"erin", u"old-password"), wrong);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(from("203.0.113.5", u"erin", u"old-password"), repeated);
  EXPECT_EQ(from("203.0.113.5", u"erin", u"right"), accepted);
  // 3 + 2 + 1 counted so far; the seventh, from yet another address, locks the account.
  EXPECT_EQ(from("203.0.113.9", u"erin", u"guess6"), wrong);
  EXPECT_EQ(from("198.51.100.7", u"erin", u"right"),
            std::make_pair(ERROR_ACCOUNT_LOCKED_OUT, R::kLockedAccount));
  EXPECT_NE(flags_of(u"erin") & UF_LOCKOUT, 0u);
  EXPECT_EQ(from(nullptr, u"nobody", u"x"), std::make_pair(ERROR_LOGON_FAILURE, R::kUnknownName));

  // An update without a password clears every count: the account and each source.
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"erin", 1, &buffer), 0u);
  reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags &= ~UF_LOCKOUT;
  DWORD parm = 0;
  EXPECT_EQ(NetUserSetInfo(nullptr, u"erin", 1, buffer, &parm), 0u);
  NetApiBufferFree(buffer);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"right"), accepted);

  // A throttled source is free again when the duration has run out; a stale password
  // counts again once it left the window.
  for (const char16_t* guess : {u"a1", u"a2", u"a3"})
    EXPECT_EQ(from("192.0.2.1", u"erin", guess), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"right"), throttled);
  age(31 * 60);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"right"), accepted);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"stale"), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"stale"), repeated);
  age(11 * 60);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"stale"), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"b1"), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"b2"), wrong);
  EXPECT_EQ(from("192.0.2.1", u"erin", u"right"), throttled);
}

}  // namespace
}  // namespace ostrel_posix
