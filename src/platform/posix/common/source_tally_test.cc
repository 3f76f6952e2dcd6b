// Counts per source kept on the host for a directory or a domain, in a scratch directory.
#include "platform/posix/common/source_tally.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/posix/common/lockout.h"

namespace ostrel_posix {
namespace {

class SourceTallyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrel-sources-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    dir_ = base_ + "/lockout";
    platform_set_lockout_tally_dir(dir_.c_str());
    PlatformLockoutPolicy policy;
    policy.threshold = 2;
    platform_set_lockout_policy(policy);
  }
  void TearDown() override {
    platform_set_logon_source(nullptr);
    platform_set_lockout_policy(PlatformLockoutPolicy{});
    platform_set_lockout_tally_dir(nullptr);
    std::filesystem::remove_all(base_);
  }

  // One logon attempt's counting: -1 throttled, else whether the source was still free.
  int attempt(const char* source, const std::string& account, bool right,
              const std::string& key = "k") {
    platform_set_logon_source(source);
    SourceTally tally;
    EXPECT_EQ(tally.open(account, true), 0u);
    if (tally.throttled()) return -1;
    if (right) {
      tally.right_password();
    } else {
      EXPECT_EQ(tally.wrong_password(key), 0u);
    }
    return 1;
  }

  std::string base_, dir_;
};

TEST_F(SourceTallyTest, SourcesAreThrottledApartAndClearedBySet) {
  const std::string alice = "ALICE";
  struct Step {
    const char* source;
    bool right;
    const char* key;
    int want;
  } steps[] = {
      {"192.0.2.1", false, "k1", 1}, {"192.0.2.1", false, "k1", 1},  // the same: counts once
      {"192.0.2.2", false, "k2", 1}, {"192.0.2.1", true, "", 1},     // clears .1 only
      {"192.0.2.1", false, "k3", 1}, {"192.0.2.2", false, "k4", 1},  // .2 reaches 2
      {"192.0.2.2", true, "", -1},   {"192.0.2.1", false, "k5", 1},
      {"192.0.2.1", true, "", -1},   {"192.0.2.3", true, "", 1},
  };
  for (const Step& s : steps)
    EXPECT_EQ(attempt(s.source, alice, s.right, s.key), s.want) << s.source << " " << s.key;
  // Another account is counted apart.
  EXPECT_EQ(attempt("192.0.2.1", "BOB", true), 1);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/ALICE:recent"));

  // A set clears every count of the account and its recent wrong passwords.
  EXPECT_EQ(clear_source_tallies(alice), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/ALICE:recent"));
  EXPECT_EQ(attempt("192.0.2.1", alice, true), 1);
  EXPECT_EQ(attempt("192.0.2.2", alice, true), 1);
  EXPECT_EQ(remove_source_tallies(alice), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/ALICE"));
}

TEST_F(SourceTallyTest, NothingIsKeptWithoutSourceOrAccountAndAnUnsafeDirectoryIsRefused) {
  // Without a source, or for a name without an account, no file is made.
  platform_set_logon_source(nullptr);
  SourceTally none;
  ASSERT_EQ(none.open("ALICE", true), 0u);
  EXPECT_FALSE(none.counting());
  EXPECT_EQ(none.wrong_password("k"), 0u);
  platform_set_logon_source("192.0.2.1");
  SourceTally unknown;
  ASSERT_EQ(unknown.open("NOBODY", false), 0u);
  EXPECT_EQ(unknown.wrong_password("k"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/NOBODY"));

  // A name too long for a file name is kept under a digest of it.
  const std::string long_name(300, 'A');
  EXPECT_EQ(attempt("192.0.2.1", long_name, false), 1);
  EXPECT_EQ(attempt("192.0.2.1", long_name, false, "k2"), 1);
  EXPECT_EQ(attempt("192.0.2.1", long_name, true), -1);

  // A directory others may write is a misconfiguration; so is a relative one.
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  SourceTally refused;
  EXPECT_EQ(refused.open("ALICE", true), static_cast<DWORD>(ERROR_BAD_CONFIGURATION));
  EXPECT_EQ(clear_source_tallies("ALICE"), static_cast<DWORD>(ERROR_BAD_CONFIGURATION));
  platform_set_lockout_tally_dir("relative/dir");
  EXPECT_EQ(refused.open("ALICE", true), static_cast<DWORD>(ERROR_BAD_CONFIGURATION));
}

}  // namespace
}  // namespace ostrel_posix
