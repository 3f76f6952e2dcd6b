// Two ostrel processes on one store take turns guessing an account's password: the wrong
// passwords of both count together, the account locks at the threshold and refuses the
// right password until the lock runs out or an administrator's set unlocks it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "ostrel_process.h"
#include "ostrel_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kReplyWaitMs = 60000;
constexpr const char* kWrong = "-ERR erin does not exist or password incorrect.";
constexpr const char* kLocked = "-ERR 1909:Unknown error has occurred.";

std::string ask(OstrelSession& session, const std::string& command) {
  std::string line;
  if (!send_text(session, command + "\n") ||
      read_line(session, line, kReplyWaitMs) != LineResult::kLine)
    return "(no reply)";
  return line;
}

// Moves the store's lock times back by seconds, as if that much time had passed.
void age_store(const fs::path& db, int seconds) {
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  const std::string by = std::to_string(seconds);
  const std::string sql = "UPDATE logon_tallies SET last_bad = last_bad - " + by +
                          ", locked_since = locked_since - " + by + " WHERE locked_since != 0";
  EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);
}

TEST(Lockout, TwoProcessesCountTogetherAndTheLockEndsOrIsLifted) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const fs::path db = scratch.path / "ostrel.db";
  write_text(scratch.path / "ostrel.ini",
             "path " + scratch.path.string() + "\nlog debug\naccount_db " + db.string() +
                 "\nlockout_threshold 4\nlockout_duration 15\nlockout_window 15\n");
  OstrelSession smtp, pop3;
  ASSERT_TRUE(start_session(smtp, scratch.path, {}, scratch.path / "smtp.err"));
  ASSERT_TRUE(start_session(pop3, scratch.path, {}, scratch.path / "pop3.err"));

  ASSERT_EQ(ask(smtp, "set erin Right-pw1"), "+OK erin added to database.");
  const std::string looked_up = ask(pop3, "lookup erin");
  ASSERT_EQ(looked_up.rfind("+OK", 0), 0u) << looked_up;
  // Each guess differs: a wrong password repeated counts once.
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(ask(i % 2 ? pop3 : smtp, "check erin guess" + std::to_string(i)), kWrong);
  EXPECT_EQ(ask(smtp, "check erin Right-pw1"), kLocked);
  EXPECT_EQ(ask(pop3, "check erin Right-pw1"), kLocked);
  EXPECT_EQ(ask(pop3, "check erin guess"), kLocked);
  EXPECT_EQ(ask(smtp, "lookup erin"), looked_up);  // the reply shows nothing new

  age_store(db, 14 * 60);
  EXPECT_EQ(ask(smtp, "check erin Right-pw1"), kLocked);
  age_store(db, 60);
  EXPECT_EQ(ask(pop3, "check erin Right-pw1").rfind("+OK erin config", 0), 0u);

  // Locked again, then lifted at once by an update without a password.
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(ask(i % 2 ? smtp : pop3, "check erin again" + std::to_string(i)), kWrong);
  EXPECT_EQ(ask(smtp, "check erin Right-pw1"), kLocked);
  EXPECT_EQ(ask(pop3, "set erin (NULL)"), "+OK User erin added to database.");
  EXPECT_EQ(ask(smtp, "check erin Right-pw1").rfind("+OK erin config", 0), 0u);

  EXPECT_EQ(finish_session(smtp, 60), 0);
  EXPECT_EQ(finish_session(pop3, 60), 0);
  const std::string log = read_text(scratch.path / "ostrel.log");
  EXPECT_NE(log.find("Lockout threshold = 4"), std::string::npos);
  EXPECT_EQ(log.find("Right-pw1"), std::string::npos);
}

}  // namespace
