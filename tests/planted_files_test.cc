// Files that another local user planted beside ostrel, or can change: the settings file,
// the log and the account store are refused, and nothing is written through them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "ostrel_process.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kOtherUser = 65534;

class PlantedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path.empty());
    // A work directory anyone may write to, as /tmp.
    work_ = root_.path / "work";
    fs::create_directories(work_);
    ::chmod(work_.c_str(), 01777);
    write_text(work_ / "ostrel.ini", "path " + work_.string() + "\nlog debug\n");
    ::chmod((work_ / "ostrel.ini").c_str(), 0644);
    write_text(secret_, "root only\n");
    ::chmod(secret_.c_str(), 0600);
  }

  // A file made by the other user, as they would make it under umask 0.
  void plant(const fs::path& path, const std::string& bytes) {
    write_text(path, bytes);
    ::chmod(path.c_str(), 0666);
    ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0);
  }

  ChildResult run(const std::string& input) { return run_ostrel(work_, {}, input); }

  ScratchDir root_;
  fs::path work_;
  fs::path secret_ = root_.path / "secret";
};

TEST_F(PlantedFilesTest, SettingsAndLogAreRefusedWithDeadLine) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
  const fs::path ini = work_ / "ostrel.ini";
  const fs::path log = work_ / "ostrel.log";
  struct Case {
    std::string name;
    std::function<void()> plant;
    std::string dead;
  };
  const Case cases[] = {
      {"settings writable by others", [&] { ::chmod(ini.c_str(), 0666); },
       "-DEAD Unsafe settings file {ostrel.ini,writable by group or others}"},
      {"settings of another user", [&] { ASSERT_EQ(::chown(ini.c_str(), kOtherUser, 0), 0); },
       "-DEAD Unsafe settings file {ostrel.ini,owned by another user}"},
      {"settings through another user's link",
       [&] {
         fs::rename(ini, root_.path / "real.ini");
         fs::create_symlink(root_.path / "real.ini", ini);
         ASSERT_EQ(::lchown(ini.c_str(), kOtherUser, kOtherUser), 0);
       },
       "-DEAD Unsafe settings file {ostrel.ini,a symbolic link owned by another user}"},
      {"log linked to a root-only file", [&] { fs::create_symlink(secret_, log); },
       "-DEAD Unable to create log file {" + log.string() + ",a symbolic link}"},
      {"log of another user", [&] { plant(log, ""); },
       "-DEAD Unable to create log file {" + log.string() + ",owned by another user}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    fs::remove(log);
    c.plant();
    const ChildResult result = run("set mallory pw\nquit\n");
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find(c.dead + "\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("+OK"), std::string::npos) << result.out;
    EXPECT_EQ(read_text(secret_), "root only\n");
    EXPECT_FALSE(fs::exists(work_ / "ostrel.db"));
    std::error_code ignored;
    fs::remove_all(work_, ignored);
    fs::remove(root_.path / "real.ini", ignored);
  }
}

TEST_F(PlantedFilesTest, PlantedStoreIsNeverUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
  const fs::path db = work_ / "ostrel.db";
  struct Case {
    std::string name;
    std::function<void()> plant;
    fs::path untouched;  // a planted file whose content must stay as it was
  };
  const Case cases[] = {
      {"empty store of another user", [&] { plant(db, ""); }, db},
      {"store writable by others",
       [&] {
         write_text(db, "");
         ::chmod(db.c_str(), 0666);
       },
       db},
      {"store linked elsewhere", [&] { fs::create_symlink(secret_, db); }, secret_},
      {"journal of another user beside it", [&] { plant(work_ / "ostrel.db-wal", ""); },
       work_ / "ostrel.db-wal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const std::string before = read_text(c.untouched);
    c.plant();
    const ChildResult result = run("set admin pw\ncheck admin pw\nlookup admin\nquit\n");
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 0);
    // Every account command fails as an outage (a misconfiguration, never "not found" or
    // "wrong password"), never on a new empty store, and the log names the file.
    EXPECT_EQ(split_lines(result.out),
              (std::vector<std::string>{"-ERR 1610:Unknown error has occurred.",
                                        "-ERR 1610:Unknown error has occurred.",
                                        "-ERR 1610:Unknown error has occurred.", "+OK"}))
        << result.out;
    EXPECT_NE(read_text(work_ / "ostrel.log").find("ERROR Refused file {" + work_.string()),
              std::string::npos);
    EXPECT_EQ(read_text(c.untouched), c.untouched == secret_ ? "root only\n" : before);
    EXPECT_EQ(read_text(secret_), "root only\n");
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }
}

TEST_F(PlantedFilesTest, NewLogIsNotReadableByAll) {
  const mode_t old_mask = ::umask(0);
  const ChildResult result = run("version\nquit\n");
  ::umask(old_mask);
  EXPECT_EQ(result.exit_code, 0);
  struct stat status {};
  ASSERT_EQ(::stat((work_ / "ostrel.log").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777 & ~0640, 0u);
  ASSERT_EQ(::stat((work_ / "ostrel.db").c_str(), &status) == 0, false) << "no account command";
}

}  // namespace
