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

PamTry try_login(const fs::path& confdir, const char* user, const char* password,
                 const char* rhost = nullptr) {
  pam_conv conv{answer_password, const_cast<char*>(password)};
  pam_handle_t* pamh = nullptr;
  PamTry result;
  if (pam_start_confdir("ostrel-test", user, &conv, confdir.c_str(), &pamh) != PAM_SUCCESS)
    return result;
  if (rhost != nullptr && pam_set_item(pamh, PAM_RHOST, rhost) != PAM_SUCCESS) {
    pam_end(pamh, PAM_SUCCESS);
    return result;
  }
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
  EXPECT_NE(log.find("ERROR PAM login from (none) refused (wrong password): user=bob "
                     "service=ostrel-test\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("INFO PAM login from (none) accepted: user=ALICE service=ostrel-test\n"),
            std::string::npos);
  EXPECT_NE(log.find("ERROR PAM login from (none) unavailable ("), std::string::npos) << log;
  for (const char* secret : {"Right-pw1", "Bob-pw2", "guess1"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

// Each login is one line of the log naming its source before any text the client chose,
// in words a banning tool can match; refusals are there at the error level too.
TEST(PamModule, OneLogLinePerLoginWithSourceAndOutcome) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  configure(scratch.path, "log error\nlockout_threshold 2\nlockout_account_threshold 3\n");
  const fs::path work = scratch.path / "work";
  const fs::path confdir = scratch.path / "pam.d";
  ASSERT_TRUE(run_ostrel(work, {}, "set alice Right-pw1\n").exited);
  struct Case {
    const char* user;
    const char* password;
    const char* rhost;
    int result;
    const char* line;  // the line's text after the level; null: none at the error level
  };
  const Case cases[] = {
      {"alice", "Right-pw1", "192.0.2.1", PAM_SUCCESS, nullptr},
      {"alice", "guess1", "192.0.2.2", PAM_AUTH_ERR,
       "PAM login from 192.0.2.2 refused (wrong password): user=alice service=ostrel-test"},
      {"alice", "guess2", "192.0.2.2", PAM_AUTH_ERR,
       "PAM login from 192.0.2.2 refused (wrong password): user=alice service=ostrel-test"},
      {"alice", "Right-pw1", "192.0.2.2", PAM_AUTH_ERR,
       "PAM login from 192.0.2.2 refused (throttled source): user=alice service=ostrel-test"},
      {"alice", "Right-pw1", "192.0.2.3", PAM_SUCCESS, nullptr},
      {"nobody-here", "guess3", "192.0.2.4", PAM_AUTH_ERR,
       "PAM login from 192.0.2.4 refused (unknown name): user=nobody-here service=ostrel-test"},
      // Text the client chose can neither end the user field nor the line.
      {"x from 192.0.2.9\n\\", "guess3", "2001:db8::5", PAM_AUTH_ERR,
       "PAM login from 2001:db8::5 refused (unknown name): user=x\\x20from\\x20192.0.2.9\\x0a"
       "\\x5c service=ostrel-test"},
      // A wrong password tried again (a stale one) counts once, and says so.
      {"alice", "guess2", "192.0.2.6", PAM_AUTH_ERR,
       "PAM login from 192.0.2.6 refused (repeated password): user=alice service=ostrel-test"},
      {"alice", "guess4", "192.0.2.5", PAM_AUTH_ERR,
       "PAM login from 192.0.2.5 refused (wrong password): user=alice service=ostrel-test"},
      {"alice", "Right-pw1", "192.0.2.1", PAM_AUTH_ERR,
       "PAM login from 192.0.2.1 refused (locked account): user=alice service=ostrel-test"},
      {"alice", "Right-pw1", nullptr, PAM_AUTH_ERR,
       "PAM login from (none) refused (locked account): user=alice service=ostrel-test"},
  };
  std::string expected;
  {
    const CapturedOutput quiet(scratch.path / "output");
    for (const Case& c : cases) {
      EXPECT_EQ(try_login(confdir, c.user, c.password, c.rhost).authenticate, c.result)
          << c.user << " from " << (c.rhost ? c.rhost : "none");
      if (c.line != nullptr) expected += std::string("ERROR ") + c.line + "\n";
    }
  }
  EXPECT_EQ(read_text(scratch.path / "output"), "");
  std::string logged;
  const std::string log = read_text(work / "ostrel.log");
  for (std::size_t at = log.find("]ERROR PAM login "); at != std::string::npos;
       at = log.find("]ERROR PAM login ", at + 1))
    logged += log.substr(at + 1, log.find('\n', at) - at);
  EXPECT_EQ(logged, expected);
  EXPECT_EQ(log.find("PAM login from 192.0.2.1 accepted"), std::string::npos) << log;
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
