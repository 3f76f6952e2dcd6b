#include "platform/posix/store/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

class StoreFileTest : public StoreTest {};

// Runs f in a child process and returns the values it wrote, or an empty vector when the
// child failed. As root, the child first becomes nobody, for whom file modes count.
std::vector<DWORD> in_child(const std::function<std::vector<DWORD>()>& f) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_ends[0]);
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    const std::vector<DWORD> values = f();
    const ssize_t size = static_cast<ssize_t>(values.size() * sizeof(DWORD));
    _exit(write(pipe_ends[1], values.data(), values.size() * sizeof(DWORD)) == size ? 0 : 1);
  }
  close(pipe_ends[1]);
  std::vector<DWORD> values;
  DWORD value;
  while (read(pipe_ends[0], &value, sizeof value) == sizeof value) values.push_back(value);
  close(pipe_ends[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? values : std::vector<DWORD>{};
}

std::vector<DWORD> read_and_add() {
  LPBYTE buffer = nullptr;
  const DWORD read_status = NetUserGetInfo(nullptr, u"alice", 1, &buffer);
  NetApiBufferFree(buffer);
  return {read_status, add(record("bob"))};
}

// A store this process may not open is an outage (not a refusal of the account): lookup
// must not answer it as a missing account.
TEST_F(StoreFileTest, StoreThatCannotBeOpenedIsAnOutage) {
  ASSERT_EQ(add(record("alice")), 0u);
  platform_close_store();
  struct stat info {};
  ASSERT_EQ(stat(db_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // made owner-only

  // A read-only file (as root: a file of root's that nobody may write).
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(db_.c_str(), 0444), 0);
  EXPECT_EQ(in_child(read_and_add), (std::vector<DWORD>{ERROR_OPEN_FAILED, ERROR_OPEN_FAILED}));

  // A file of its own in a directory where the write-ahead log cannot be made.
  ASSERT_EQ(chmod(db_.c_str(), 0600), 0);
  if (getuid() == 0) {
    ASSERT_EQ(chown(db_.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  EXPECT_EQ(in_child(read_and_add), (std::vector<DWORD>{ERROR_WRITE_PROTECT, ERROR_WRITE_PROTECT}));
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
}

// A change whose log is removed while it is committed is not acknowledged, and the next
// call works on the files the store's name leads to.
TEST_F(StoreFileTest, ChangeWhoseLogWasRemovedMeanwhileIsNotAcknowledged) {
  ASSERT_EQ(add(record("alice")), 0u);
  std::string log = db_ + "-wal";
  const auto remove_log = +[](void* path) -> int {
    unlink(static_cast<std::string*>(path)->c_str());
    return 0;
  };
  sqlite3_commit_hook(store_handle(), remove_log, &log);
  EXPECT_EQ(add(record("bob")), ERROR_FILE_INVALID);
  EXPECT_EQ(add(record("carol")), 0u);
  LPBYTE buffer = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), 0u);
  NetApiBufferFree(buffer);
}

TEST_F(StoreFileTest, UnusableNamesAndFilesGiveClearCodes) {
  struct Row {
    const char* label;
    std::string path;
    DWORD status;
  };
  {
    std::ofstream text(dir_ + "/notes.txt");
    text << "This is not an account store, and it is long enough to be read as a header.\n";
  }
  const Row rows[] = {
      {"no name", "", ERROR_ACCESS_DENIED},
      {"missing directory", dir_ + "/missing/accounts.db", ERROR_OPEN_FAILED},
      {"a directory", dir_, ERROR_OPEN_FAILED},
      {"not a database", dir_ + "/notes.txt", ERROR_FILE_CORRUPT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    platform_set_account_db(row.path.empty() ? nullptr : row.path.c_str());
    EXPECT_EQ(add(record("alice")), row.status);
    LPBYTE buffer = nullptr;
    EXPECT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), row.status);
    EXPECT_EQ(buffer, nullptr);
  }

  // A relative name is taken from the current directory.
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  platform_set_account_db("relative.db");
  const DWORD status = add(record("alice"));
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(access((dir_ + "/relative.db").c_str(), F_OK), 0);
}

TEST_F(StoreFileTest, LockHeldPastTheTimeoutIsBusyNotSuccess) {
  ASSERT_EQ(add(record("alice")), 0u);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(add(record("bob")), ERROR_BUSY);
  LPBYTE buffer = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), 0u);  // readers are not held up
  NetApiBufferFree(buffer);
  platform_close_store();  // nor is a process that starts now and only reads
  buffer = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), 0u);
  NetApiBufferFree(buffer);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  EXPECT_EQ(add(record("bob")), 0u);
  // A reader in the middle of a transaction holds the fold up; the change still succeeds.
  ASSERT_EQ(sqlite3_exec(other, "BEGIN; SELECT count(*) FROM accounts", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(add(record("carol")), 0u);
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

// Two processes add and delete the same names at once: for every name, the adds and
// deletes that succeeded account exactly for whether it exists at the end.
TEST_F(StoreFileTest, TwoProcessesNeitherLoseNorDuplicateAccounts) {
  constexpr int kNames = 12;
  constexpr int kRounds = 48;
  ASSERT_EQ(add(record("seed", nullptr)), 0u);  // the store exists before the race
  platform_close_store();
  auto worker = [](int which) {
    return [which] {
      std::vector<DWORD> counts(2 * kNames + 1, 0);  // adds, deletes, unexpected results
      for (int i = 0; i < kRounds; ++i) {
        // Both work on the same name at the same time: one adds it while the other deletes.
        const int n = (i / 2) % kNames;
        const std::string name = "shared" + std::to_string(n);
        if ((i + which) % 2 == 0) {
          const DWORD rc = add(record(name, nullptr));
          if (rc == 0)
            ++counts[n];
          else if (rc != NERR_UserExists)
            ++counts[2 * kNames];
        } else {
          const DWORD rc = NetUserDel(nullptr, wide(name).c_str());
          if (rc == 0)
            ++counts[kNames + n];
          else if (rc != NERR_UserNotFound)
            ++counts[2 * kNames];
        }
      }
      return counts;
    };
  };
  std::vector<DWORD> results[2];
  {
    // Start both children before waiting for either.
    std::array<pid_t, 2> pids{};
    std::array<int, 2> readers{};
    for (int which = 0; which < 2; ++which) {
      int ends[2];
      ASSERT_EQ(pipe(ends), 0);
      pids[which] = fork();
      if (pids[which] == 0) {
        close(ends[0]);
        const std::vector<DWORD> counts = worker(which)();
        const auto size = static_cast<ssize_t>(counts.size() * sizeof(DWORD));
        _exit(write(ends[1], counts.data(), counts.size() * sizeof(DWORD)) == size ? 0 : 1);
      }
      close(ends[1]);
      readers[which] = ends[0];
    }
    for (int which = 0; which < 2; ++which) {
      DWORD value;
      while (read(readers[which], &value, sizeof value) == sizeof value)
        results[which].push_back(value);
      close(readers[which]);
      int status = 0;
      waitpid(pids[which], &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
  ASSERT_EQ(results[0].size(), 2u * kNames + 1);
  ASSERT_EQ(results[1].size(), 2u * kNames + 1);
  EXPECT_EQ(results[0][2 * kNames] + results[1][2 * kNames], 0u) << "unexpected result codes";

  LPBYTE buffer = nullptr;
  DWORD read_count = 0, total = 0;
  ASSERT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read_count, &total, nullptr),
            0u);
  std::multiset<std::string> listed;
  const auto* info = reinterpret_cast<const USER_INFO_1*>(buffer);
  for (DWORD i = 0; i < read_count; ++i) listed.insert(narrow(info[i].usri1_name));
  NetApiBufferFree(buffer);
  EXPECT_EQ(total, read_count);
  int operations = 0;
  for (int n = 0; n < kNames; ++n) {
    const std::string name = "shared" + std::to_string(n);
    const long adds = results[0][n] + results[1][n];
    const long deletes = results[0][kNames + n] + results[1][kNames + n];
    operations += static_cast<int>(adds + deletes);
    EXPECT_EQ(adds - deletes, static_cast<long>(listed.count(name))) << name;
  }
  EXPECT_GT(operations, kNames);  // the race did happen
}

}  // namespace
// Texts written behind the store's back: a field that is not UTF-8 is read with its bad
// bytes as lone surrogates, past runs of ASCII longer than eight bytes, and the texts
// around it keep their places; a name that is not UTF-8 makes the row unreadable.
TEST_F(StoreFileTest, TextsChangedBehindTheStoreAreReadInPlace) {
  Record alice = record("alice");
  alice.home_dir = u"/srv/mail/alice";
  alice.has_home_dir = true;
  ASSERT_EQ(add(alice), 0u);
  ASSERT_EQ(add(record("bob")), 0u);
  platform_close_store();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db,
                   "UPDATE accounts SET name = CAST(X'416CC3AF6365' AS TEXT),"
                   " comment = CAST(X'616263646566676869FF6A6B6C6D6E6F7071' AS TEXT)"
                   " WHERE name_key = 'ALICE';"
                   "UPDATE accounts SET name = CAST(X'626FFF62' AS TEXT) WHERE name_key = 'BOB'",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);

  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), 0u);
  const auto* info = reinterpret_cast<const USER_INFO_1*>(buffer);
  EXPECT_EQ(std::u16string(info->usri1_name), u"Al\u00EFce");
  EXPECT_EQ(std::u16string(info->usri1_home_dir), u"/srv/mail/alice");
  EXPECT_EQ(std::u16string(info->usri1_comment),
            std::u16string(u"abcdefghi") + char16_t(0xDCFF) + u"jklmnopq");
  EXPECT_EQ(info->usri1_script_path, nullptr);
  NetApiBufferFree(buffer);
  buffer = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, u"bob", 1, &buffer), static_cast<DWORD>(ERROR_FILE_CORRUPT));
  NetApiBufferFree(buffer);
}

// A process killed while it created the store leaves the file with pages in it and the
// journal of an empty one: the next process rolls that back and sets the store up.
TEST_F(StoreTest, StoreWhoseCreationWasKilledIsSetUpByTheNextProcess) {
  const pid_t pid = fork();
  if (pid == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open(db_.c_str(), &db) != SQLITE_OK) _exit(2);
    // A one-page cache spills the transaction's pages into the file before its commit.
    sqlite3_exec(db, "PRAGMA cache_size = 1; BEGIN; CREATE TABLE t(x);", nullptr, nullptr, nullptr);
    for (int i = 0; i < 200; ++i)
      sqlite3_exec(db, "INSERT INTO t VALUES (randomblob(1000))", nullptr, nullptr, nullptr);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat file {};
  ASSERT_EQ(stat(db_.c_str(), &file), 0);
  ASSERT_GT(file.st_size, 0);
  ASSERT_EQ(access((db_ + "-journal").c_str(), F_OK), 0);

  Record bob = record("bob");
  EXPECT_EQ(NetUserAdd(nullptr, 1, bob.bytes(), nullptr), 0u);
  LPBYTE buffer = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, u"bob", 1, &buffer), 0u);
  NetApiBufferFree(buffer);
}

}  // namespace ostrel_posix
