// The store against damage to its files: answered accounts stay, and a store that cannot
// be read is an outage, never an empty store.
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "ostrel_process.h"
#include "ostrel_session.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

class StoreDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_text(work_ / "ostrel.ini", "path " + work_.string() + "\nuname U\n");
  }
  Lines run(const std::string& input) { return split_lines(run_ostrel(work_, {}, input).out); }
  std::string ask(OstrelSession& session, const std::string& line) {
    std::string reply;
    send_text(session, line + "\n");
    EXPECT_EQ(read_line(session, reply, 30000), LineResult::kLine);
    return reply;
  }
  void damage_log_header() {
    ASSERT_TRUE(fs::exists(wal_));
    std::fstream(wal_, std::ios::in | std::ios::out | std::ios::binary)
        .write("damaged header!!", 16);
  }

  ScratchDir scratch_;
  fs::path work_ = scratch_.path, wal_ = work_ / "ostrel.db-wal";
};

TEST_F(StoreDamageTest, DamagedLogAfterACrashLosesNoAnsweredAccount) {
  OstrelSession first;
  ASSERT_TRUE(start_session(first, work_, {}, work_ / "stderr.txt"));
  EXPECT_EQ(ask(first, "set alice Secret#1"), "+OK alice added to database.");
  kill_session(first);
  damage_log_header();
  EXPECT_EQ(run("search *\nquit\n"),
            (Lines{"+DATA alice comment=\"U\"", "+OK 1 entry found.", "+OK"}));
  EXPECT_FALSE(fs::exists(wal_)) << "a run ends with the store closed";
}

TEST_F(StoreDamageTest, StoreWhoseTablesCannotBeReadIsAnOutageNeverAnEmptyStore) {
  // Tables that live only in the log of an earlier run (the file holds a header), whose
  // log header is then damaged.
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open((work_ / "old.db").c_str(), &old), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(
          old,
          "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0; CREATE TABLE accounts(name)",
          nullptr, nullptr, nullptr),
      SQLITE_OK);
  fs::copy_file(work_ / "old.db", work_ / "ostrel.db");
  fs::copy_file(work_ / "old.db-wal", wal_);
  sqlite3_close(old);
  damage_log_header();
  const std::string db_before = read_text(work_ / "ostrel.db"), log_before = read_text(wal_);
  EXPECT_EQ(run("lookup alice\nsearch *\nset bob Secret#2\ncheck alice Secret#1\nquit\n"),
            (Lines{"-ERR 1392:Unknown error has occurred.", "-ERR 1392:Unknown error occurred.",
                   "-ERR 1392:Unknown error has occurred.", "-ERR 1392:Unknown error has occurred.",
                   "+OK"}));
  EXPECT_TRUE(read_text(work_ / "ostrel.db") == db_before && read_text(wal_) == log_before);
}

TEST_F(StoreDamageTest, LogRemovedUnderARunningProcessLosesNothing) {
  OstrelSession running;
  ASSERT_TRUE(start_session(running, work_, {}, work_ / "stderr.txt"));
  EXPECT_EQ(ask(running, "set alice Secret#1"), "+OK alice added to database.");
  fs::remove(wal_);
  EXPECT_EQ(ask(running, "set bob Secret#2"), "+OK bob added to database.");
  EXPECT_EQ(finish_session(running, 30), 0);
  EXPECT_EQ(run("search *\nquit\n"), (Lines{"+DATA alice comment=\"U\"", "+DATA bob comment=\"U\"",
                                            "+OK 2 entries found.", "+OK"}));
}

// The store's file system remounted read-only (as ext4 does after an I/O error), as root in
// a mount namespace of its own.
TEST_F(StoreDamageTest, ReadOnlyFileSystemIsAnOutageForEveryCommand) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  const fs::path store = work_ / "store", out = work_ / "out.txt";
  fs::create_directories(store);
  write_text(work_ / "ostrel.ini",
             "path " + work_.string() + "\naccount_db " + (store / "a.db").string() + "\n");
  const pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", store.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0)
      _exit(2);
    const std::string added = run_ostrel(work_, {}, "set alice Secret#1\nquit\n").out;
    if (mount(nullptr, store.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) _exit(3);
    write_text(out,
               added + run_ostrel(work_, {},
                                  "lookup alice\ncheck alice Secret#1\nsearch *\nset bob Pw#2\n")
                           .out);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
    GTEST_SKIP() << "no mount namespace of its own here";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(split_lines(read_text(out)),
            (Lines{"+OK alice added to database.", "+OK", "-ERR 19:Unknown error has occurred.",
                   "-ERR 19:Unknown error has occurred.", "-ERR 19:Unknown error occurred.",
                   "-ERR 19:Unknown error has occurred."}));
}

}  // namespace
