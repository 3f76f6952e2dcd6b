// pam_ostrel.so loaded by PAM in this process, as a mail server's auth worker loads it:
// many users one after another, a forked child, the lockout shared with ostrel's check,
// outages, and never a byte on the host's standard output or error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ostrel_process.h"
#include "pam_answer.h"

namespace fs = std::filesystem;

namespace {

struct PamTry {
  int authenticate = -1;
  int account = -1;
};

PamTry try_login(const fs::path& confdir, const char* user, const char* password) {
  pam_conv conv{answer_password, const_cast<char*>(password)};
  pam_handle_t* pamh = nullptr;
  PamTry result;
  if (pam_start_confdir("ostrel-test", user, &conv, confdir.c_str(), &pamh) != PAM_SUCCESS)
    return result;
  result.authenticate = pam_authenticate(pamh, 0);
  if (result.authenticate == PAM_SUCCESS) result.account = pam_acct_mgmt(pamh, 0);
  pam_end(pamh, result.authenticate);
  return result;
}

// The module's service file, its settings in work; settings_line is added to them.
void configure(const fs::path& root, const std::string& settings_line) {
  const fs::path work = root / "work";
  fs::create_directories(work);
  fs::create_directories(root / "pam.d");
  write_text(work / "ostrel.ini", "path " + work.string() + "\nlog info\naccount_db " +
                                      (work / "ostrel.db").string() + "\n" + settings_line);
  const std::string module = std::string(OSTREL_PAM_MODULE) + " path=" + work.string() + "\n";
  write_text(root / "pam.d" / "ostrel-test",
             "auth required " + module + "account required " + module);
}

// Standard output and error sent to a file while this lives.
struct CapturedOutput {
  int saved_out = dup(1), saved_err = dup(2);
  fs::path file;
  explicit CapturedOutput(const fs::path& path) : file(path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  ~CapturedOutput() {
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
  }
};

TEST(PamModule, ManyUsersForkedChildSharedLockoutAndOutages) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  configure(scratch.path, "lockout_threshold 3\n");
  const fs::path work = scratch.path / "work";
  const fs::path confdir = scratch.path / "pam.d";
  ASSERT_EQ(run_ostrel(work, {}, "set alice Right-pw1\nset bob Bob-pw2\n").exited, true);

  {
    const CapturedOutput quiet(scratch.path / "output");
    EXPECT_EQ(try_login(confdir, "alice", "Right-pw1").account, PAM_SUCCESS);
    EXPECT_EQ(try_login(confdir, "ALICE", "Right-pw1").authenticate, PAM_SUCCESS);
    EXPECT_EQ(try_login(confdir, "bob", "Bob-pw2").authenticate, PAM_SUCCESS);
    EXPECT_EQ(try_login(confdir, "bob", "wrong").authenticate, PAM_AUTH_ERR);
    EXPECT_EQ(try_login(confdir, "nobody-here", "Bob-pw2").authenticate, PAM_AUTH_ERR);
    // A double quote never reaches an account: set and check can never carry one.
    EXPECT_EQ(try_login(confdir, "bob", "Bob-pw2\"").authenticate, PAM_AUTH_ERR);

    // A child forked after the parent's logins opens the store for itself.
    const pid_t child = fork();
    if (child == 0) _exit(try_login(confdir, "alice", "Right-pw1").authenticate);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == PAM_SUCCESS);

    // Wrong passwords through PAM and ostrel's check count together.
    EXPECT_EQ(try_login(confdir, "alice", "guess1").authenticate, PAM_AUTH_ERR);
    EXPECT_EQ(try_login(confdir, "alice", "guess2").authenticate, PAM_AUTH_ERR);
    EXPECT_EQ(run_ostrel(work, {}, "check alice guess3\n").out,
              "-ERR alice does not exist or password incorrect.\n");
    EXPECT_EQ(try_login(confdir, "alice", "Right-pw1").authenticate, PAM_AUTH_ERR);
    EXPECT_EQ(run_ostrel(work, {}, "set alice (NULL)\n").exited, true);
    EXPECT_EQ(try_login(confdir, "alice", "Right-pw1").authenticate, PAM_SUCCESS);

    // A store that cannot be opened is an outage, never a refusal; so are settings or a
    // log that cannot be had, and none of them ends this process.
    configure(scratch.path, "account_db " + scratch.path.string() + "\n");
    EXPECT_EQ(try_login(confdir, "bob", "Bob-pw2").authenticate, PAM_AUTHINFO_UNAVAIL);
    fs::remove(work / "ostrel.ini");
    EXPECT_EQ(try_login(confdir, "bob", "Bob-pw2").authenticate, PAM_AUTHINFO_UNAVAIL);
    write_text(work / "ostrel.ini",
               "path /nonexistent/dir\naccount_db " + (work / "ostrel.db").string() + "\n");
    EXPECT_EQ(try_login(confdir, "bob", "Bob-pw2").authenticate, PAM_AUTHINFO_UNAVAIL);
  }
  EXPECT_EQ(read_text(scratch.path / "output"), "");
  const std::string log = read_text(work / "ostrel.log");
  EXPECT_NE(log.find("PAM login of bob refused (1326)"), std::string::npos);
  EXPECT_NE(log.find("the accounts cannot be read ("), std::string::npos) << log;
  for (const char* secret : {"Right-pw1", "Bob-pw2", "guess1"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

// The module reads the store the settings name, as it is at each logon: a store replaced
// by another is seen at once, and one removed is an outage, never a new empty store.
TEST(PamModule, ReplacedOrRemovedStoreIsSeenAtTheNextLogon) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  configure(scratch.path, "");
  const fs::path work = scratch.path / "work";
  const fs::path confdir = scratch.path / "pam.d";
  const fs::path store = work / "ostrel.db";
  ASSERT_TRUE(run_ostrel(work, {}, "set alice Old-pw1\n").exited);
  {
    const CapturedOutput quiet(scratch.path / "output");
    EXPECT_EQ(try_login(confdir, "alice", "Old-pw1").authenticate, PAM_SUCCESS);
    // Another store, made aside, moved into the store's place.
    const fs::path aside = scratch.path / "aside";
    fs::create_directories(aside);
    write_text(aside / "ostrel.ini", "path " + aside.string() + "\n");
    ASSERT_TRUE(run_ostrel(aside, {}, "set alice New-pw2\n").exited);
    fs::rename(aside / "ostrel.db", store);
    EXPECT_EQ(try_login(confdir, "alice", "Old-pw1").authenticate, PAM_AUTH_ERR);
    EXPECT_EQ(try_login(confdir, "alice", "New-pw2").account, PAM_SUCCESS);

    fs::remove(store);
    const PamTry gone = try_login(confdir, "alice", "New-pw2");
    EXPECT_EQ(gone.authenticate, PAM_AUTHINFO_UNAVAIL);
    pam_conv conv{answer_password, const_cast<char*>("")};
    pam_handle_t* pamh = nullptr;
    ASSERT_EQ(pam_start_confdir("ostrel-test", "alice", &conv, confdir.c_str(), &pamh),
              PAM_SUCCESS);
    EXPECT_EQ(pam_acct_mgmt(pamh, 0), PAM_AUTHINFO_UNAVAIL);
    pam_end(pamh, PAM_SUCCESS);
  }
  EXPECT_FALSE(fs::exists(store));
  EXPECT_NE(read_text(work / "ostrel.log").find("ERROR Refused file {" + store.string()),
            std::string::npos);
}

// A host that exports its own function of SQLite's name does not receive the module's
// calls: the module runs on the libraries it was linked with.
TEST(PamModule, HostFunctionsOfTheSameNameAreNotCalled) {
#ifdef OSTREL_NO_DEEPBIND
  GTEST_SKIP() << "the sanitizers' runtime refuses deep binding";
#endif
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  configure(scratch.path, "");
  ASSERT_TRUE(run_ostrel(scratch.path / "work", {}, "set alice Right-pw1\n").exited);
  const std::string command = std::string(OSTREL_INTERPOSING_HOST) + " " +
                              (scratch.path / "pam.d").string() + " ostrel-test alice Right-pw1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), PAM_SUCCESS);
}

}  // namespace
