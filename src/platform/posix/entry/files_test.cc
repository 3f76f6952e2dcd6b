// make_directory with a home owner: what it makes belongs to the owner, what it finds keeps
// its owner, and a directory that cannot be given is not left behind.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace {

class HomeOwner : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "giving a directory away needs root";
    nobody_ = getpwnam("nobody");
    ASSERT_NE(nobody_, nullptr);
    char name[] = "/tmp/ostrel-home-owner-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    base_ = name;
  }
  void TearDown() override {
    platform_set_home_owner(nullptr);
    if (!base_.empty()) std::filesystem::remove_all(base_);
  }
  const passwd* nobody_ = nullptr;
  std::string base_;
};

TEST_F(HomeOwner, MadeDirectoriesAreTheOwnersFoundOnesKeepTheirs) {
  ASSERT_EQ(mkdir((base_ + "/found").c_str(), 0755), 0);
  struct Case {
    const char* owner;
    const char* directory;
    int result;
    int error;
    bool exists;
    uid_t uid;
  };
  const uid_t owner = nobody_->pw_uid;
  const Case cases[] = {
      {"nobody", "/made", 0, 0, true, owner},                     // made now: the owner's
      {"nobody", "/made/below", 0, 0, true, owner},               // and the next step too
      {"nobody", "/found", -1, EEXIST, true, 0},                  // found: stays root's
      {"", "/plain", 0, 0, true, 0},                              // no owner: the process's
      {"no-such-user-ostrel", "/unknown", -1, EINVAL, false, 0},  // no such user: not made
      {"nobody", "/missing/home", -1, ENOENT, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.owner) + " " + c.directory);
    platform_set_home_owner(c.owner);
    const std::string path = base_ + c.directory;
    errno = 0;
    const int result = make_directory(path.c_str());
    const int error = errno;
    EXPECT_EQ(result, c.result);
    if (c.result != 0) {
      EXPECT_EQ(error, c.error);
    }
    struct stat info {};
    const bool exists = lstat(path.c_str(), &info) == 0;
    EXPECT_EQ(exists, c.exists);
    if (exists) {
      EXPECT_EQ(info.st_uid, c.uid);
      EXPECT_EQ(info.st_mode & 07777, 0755u);
    }
  }
}

// Not run as root, the chown fails: the directory is removed and the caller hears EPERM.
TEST_F(HomeOwner, ADirectoryThatCannotBeGivenIsNotLeft) {
  ASSERT_EQ(chown(base_.c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
  const std::string path = base_ + "/home";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(nobody_->pw_gid) != 0 || setuid(nobody_->pw_uid) != 0) _exit(2);
    platform_set_home_owner("root");
    const int result = make_directory(path.c_str());
    _exit(result == -1 && errno == EPERM ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
