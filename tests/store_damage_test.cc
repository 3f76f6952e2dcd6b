// The store against what damages its files: a log whose header was overwritten after a
// process died, a log removed under a running process, a file system turned read-only.
// Accounts that were answered stay, and a store that cannot be read is an outage, never
// an empty store.
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ostrel_process.h"
#include "ostrel_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kReplyWaitMs = 30000;

class StoreDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = scratch_.path / "work";
    fs::create_directories(work_);
    write_text(work_ / "ostrel.ini", "path " + work_.string() + "\nuname U\n");
    db_ = work_ / "ostrel.db";
  }

  // Starts a long-lived ostrel on the work directory.
  void start(OstrelSession& session) {
    ASSERT_TRUE(start_session(session, work_, {}, scratch_.path / "stderr.txt"));
  }

  std::string ask(OstrelSession& session, const std::string& line) {
    std::string reply;
    EXPECT_TRUE(send_text(session, line + "\n"));
    EXPECT_EQ(read_line(session, reply, kReplyWaitMs), LineResult::kLine) << line;
    return reply;
  }

  std::vector<std::string> run(const std::string& input) {
    return split_lines(run_ostrel(work_, {}, input).out);
  }

  ScratchDir scratch_;
  fs::path work_;
  fs::path db_;
};

void damage_header(const fs::path& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.write("damaged  header!", 16);
}

TEST_F(StoreDamageTest, DamagedLogAfterACrashLosesNoAnsweredAccount) {
  OstrelSession first;
  start(first);
  EXPECT_EQ(ask(first, "set alice Secret#1"), "+OK alice added to database.");
  EXPECT_EQ(ask(first, "set bob Secret#2"), "+OK bob added to database.");
  kill_session(first);
  ASSERT_TRUE(fs::exists(work_ / "ostrel.db-wal"));
  damage_header(work_ / "ostrel.db-wal");

  EXPECT_EQ(run("search *\nquit\n"),
            (std::vector<std::string>{"+DATA alice comment=\"U\"", "+DATA bob comment=\"U\"",
                                      "+OK 2 entries found.", "+OK"}));
  // A run that ends closes the store: everything lies in the store file itself.
  EXPECT_FALSE(fs::exists(work_ / "ostrel.db-wal"));
}

TEST_F(StoreDamageTest, StoreWhoseTablesCannotBeReadIsAnOutageNeverAnEmptyStore) {
  // A store of an earlier run whose tables live only in the log (the file itself holds a
  // header), and another program's database.
  const fs::path old_db = scratch_.path / "old.db";
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(old_db.c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old,
                         "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
                         "CREATE TABLE accounts(name); INSERT INTO accounts VALUES('alice');"
                         "PRAGMA user_version = 3",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  fs::copy_file(old_db, db_);
  fs::copy_file(old_db.string() + "-wal", work_ / "ostrel.db-wal");
  sqlite3_close(old);
  damage_header(work_ / "ostrel.db-wal");
  const fs::path foreign = scratch_.path / "foreign.db";
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old, "CREATE TABLE notes(text)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(old);

  for (const bool damaged_log : {true, false}) {
    SCOPED_TRACE(damaged_log ? "damaged log" : "another program's database");
    if (!damaged_log) {
      fs::remove(work_ / "ostrel.db-wal");
      fs::copy_file(foreign, db_, fs::copy_options::overwrite_existing);
    }
    const std::string db_before = read_text(db_);
    const std::string log_before = damaged_log ? read_text(work_ / "ostrel.db-wal") : "";
    EXPECT_EQ(run("lookup alice\nsearch *\nset bob Secret#2\ncheck alice Secret#1\nquit\n"),
              (std::vector<std::string>{"-ERR 1392:Unknown error has occurred.",
                                        "-ERR 1392:Unknown error occurred.",
                                        "-ERR 1392:Unknown error has occurred.",
                                        "-ERR 1392:Unknown error has occurred.", "+OK"}));
    // Nothing was laid over what the files held.
    EXPECT_TRUE(read_text(db_) == db_before);
    if (damaged_log) {
      EXPECT_TRUE(read_text(work_ / "ostrel.db-wal") == log_before);
    }
  }
}

TEST_F(StoreDamageTest, LogRemovedUnderARunningProcessLosesNothing) {
  OstrelSession running;
  start(running);
  EXPECT_EQ(ask(running, "set alice Secret#1"), "+OK alice added to database.");
  fs::remove(work_ / "ostrel.db-wal");
  fs::remove(work_ / "ostrel.db-shm");
  EXPECT_EQ(ask(running, "set bob Secret#2"), "+OK bob added to database.");
  EXPECT_EQ(finish_session(running, 30), 0);
  EXPECT_EQ(run("lookup alice\nlookup bob\nquit\n"),
            (std::vector<std::string>{"+OK alice config 0 comment=\"U\"",
                                      "+OK bob config 0 comment=\"U\"", "+OK"}));
}

// As root, in a mount namespace of its own: the store's file system is remounted read-only,
// as ext4 does after an I/O error.
TEST_F(StoreDamageTest, ReadOnlyFileSystemIsAnOutageForEveryCommand) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  const fs::path store = scratch_.path / "store";
  fs::create_directories(store);
  write_text(work_ / "ostrel.ini",
             "path " + work_.string() + "\naccount_db " + (store / "ostrel.db").string() + "\n");
  const fs::path out = scratch_.path / "out.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", store.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0)
      _exit(2);
    const ChildResult added = run_ostrel(work_, {}, "set alice Secret#1\nquit\n");
    if (mount(nullptr, store.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) _exit(3);
    const ChildResult refused = run_ostrel(
        work_, {}, "lookup alice\ncheck alice Secret#1\nsearch *\nset bob Secret#2\nquit\n");
    write_text(out, added.out + refused.out);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no mount namespace of its own here";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(split_lines(read_text(out)),
            (std::vector<std::string>{
                "+OK alice added to database.", "+OK", "-ERR 19:Unknown error has occurred.",
                "-ERR 19:Unknown error has occurred.", "-ERR 19:Unknown error occurred.",
                "-ERR 19:Unknown error has occurred.", "+OK"}));
}

}  // namespace
