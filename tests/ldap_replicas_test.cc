// Two directory servers that replicate each other (tests/ldap/harness.sh start-pair):
// what one is told the other answers; when the server in use dies or stops answering,
// ostrel goes on with the other, answers the command in flight with a clear error at
// worst, and a server that comes back holds every change acknowledged meanwhile. Skips
// unless OSTREL_TEST_LDAP_URI1 and OSTREL_TEST_LDAP_URI2 name a pair.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ldap_directory.h"
#include "ostrel_process.h"
#include "ostrel_session.h"

namespace fs = std::filesystem;

namespace {

// Long enough for a server that does not answer: the operation timeout and a retry.
constexpr int kReplyMs = 30000;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

pid_t server_pid(int n) {
  return static_cast<pid_t>(
      std::atol(read_text(env(n == 1 ? "OSTREL_TEST_LDAP_PID_FILE1" : "OSTREL_TEST_LDAP_PID_FILE2"))
                    .c_str()));
}

class ReplicatedDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::optional<TestDirectory> found = test_directory();
    if (!found || env("OSTREL_TEST_LDAP_URI2").empty()) {
      GTEST_SKIP() << "no replicated pair (tests/ldap/harness.sh start-pair)";
    }
    directory_ = *found;
    std::string error;
    ASSERT_TRUE(reset_directory(directory_, &error)) << error;
    configure(first_, env("OSTREL_TEST_LDAP_URI1"));
    configure(second_, env("OSTREL_TEST_LDAP_URI2"));
    configure(both_, directory_.uri);
  }

  void configure(const ScratchDir& host, const std::string& uri) {
    std::string settings = "path " + host.path.string() + "\nlog debug\n";
    for (const std::string& line : directory_settings(directory_, uri)) settings += line + "\n";
    write_text(host.path / "ostrel.ini", settings);
  }

  static std::vector<std::string> serve(const ScratchDir& host, const std::string& input) {
    return split_lines(run_ostrel(host.path, {}, input + "quit\n").out);
  }

  // Waits until host finds every one of names (replication is asynchronous).
  static bool finds_all(const ScratchDir& host, const std::vector<std::string>& names) {
    std::string input;
    for (const std::string& name : names) input += "lookup " + name + "\n";
    for (int attempt = 0; attempt < 60; ++attempt) {
      const std::vector<std::string> replies = serve(host, input);
      bool all = replies.size() == names.size() + 1;
      for (std::size_t i = 0; all && i < names.size(); ++i)
        all = replies[i].rfind("+OK " + names[i] + " config 0", 0) == 0;
      if (all) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
  }

  static void restart_server(int n) {
    const std::string harness = fs::path(OSTREL_TRANSCRIPTS).parent_path() / "ldap/harness.sh";
    const std::string command =
        harness + " restart " + env("OSTREL_TEST_LDAP_DIR") + " " + std::to_string(n);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  // Sends one line and reads its one reply.
  static std::string ask(OstrelSession& session, const std::string& line) {
    EXPECT_TRUE(send_text(session, line + "\n"));
    std::string reply;
    EXPECT_EQ(read_line(session, reply, kReplyMs), LineResult::kLine) << line;
    return reply;
  }

  TestDirectory directory_;
  ScratchDir first_, second_, both_;
};

TEST_F(ReplicatedDirectoryTest, EachServerAnswersForTheOther) {
  EXPECT_EQ(serve(first_, "set ann pw1\nset ben pw2\n"),
            (std::vector<std::string>{"+OK ann added to database.", "+OK ben added to database.",
                                      "+OK"}));
  ASSERT_TRUE(finds_all(second_, {"ann", "ben"}));
  EXPECT_EQ(serve(second_, "check ann pw1\ncheck ben wrong\nsearch *\n"),
            (std::vector<std::string>{"+OK ann config 0 comment=\"Ostrel 1.0g user\"",
                                      "-ERR ben does not exist or password incorrect.",
                                      "+DATA ann comment=\"Ostrel 1.0g user\"",
                                      "+DATA ben comment=\"Ostrel 1.0g user\"",
                                      "+OK 2 entries found.", "+OK"}));
}

TEST_F(ReplicatedDirectoryTest, KilledServerLosesNoAcknowledgedChange) {
  OstrelSession session;
  ASSERT_TRUE(start_session(session, both_.path, {}, both_.path / "stderr"));
  std::vector<std::string> acknowledged;
  int answered_after_kill = 0;
  for (int i = 0; i < 30; ++i) {
    if (i == 10) {
      ASSERT_EQ(kill(server_pid(1), SIGKILL), 0);
    }
    const std::string name = "k" + std::to_string(i);
    const std::string set = ask(session, "set " + name + " pw" + std::to_string(i));
    const std::string check = ask(session, "check " + name + " pw" + std::to_string(i));
    // A clear error for the command in flight, never a false answer.
    EXPECT_TRUE(set == "+OK " + name + " added to database." || set.rfind("-ERR 53:", 0) == 0)
        << set;
    if (set.rfind("+OK", 0) != 0) continue;
    acknowledged.push_back(name);
    EXPECT_TRUE(check.rfind("+OK " + name + " config 0", 0) == 0 || check.rfind("-ERR 53:", 0) == 0)
        << check;
    if (i > 10 && check.rfind("+OK", 0) == 0) ++answered_after_kill;
  }
  EXPECT_GE(answered_after_kill, 18);
  EXPECT_EQ(finish_session(session, 30), 0);
  restart_server(1);
  EXPECT_TRUE(finds_all(first_, acknowledged));
}

TEST_F(ReplicatedDirectoryTest, StoppedServerIsPassedOverUntilItAnswersAgain) {
  ASSERT_EQ(serve(both_, "set sam pw\n")[0], "+OK sam added to database.");
  ASSERT_TRUE(finds_all(second_, {"sam"}));
  OstrelSession session;
  ASSERT_TRUE(start_session(session, both_.path, {}, both_.path / "stderr"));
  EXPECT_EQ(ask(session, "lookup sam").rfind("+OK sam config 0", 0), 0u);
  const pid_t stopped = server_pid(1);
  ASSERT_EQ(kill(stopped, SIGSTOP), 0);
  // The command in flight times out or is served by the other server; those after it are.
  const std::string in_flight = ask(session, "check sam pw");
  EXPECT_TRUE(in_flight.rfind("+OK sam config 0", 0) == 0 || in_flight.rfind("-ERR 53:", 0) == 0)
      << in_flight;
  EXPECT_EQ(ask(session, "check sam pw").rfind("+OK sam config 0", 0), 0u);
  EXPECT_EQ(ask(session, "set tom pw").rfind("+OK tom added", 0), 0u);
  ASSERT_EQ(kill(stopped, SIGCONT), 0);
  EXPECT_EQ(ask(session, "check tom pw").rfind("+OK tom config 0", 0), 0u);
  EXPECT_EQ(finish_session(session, 30), 0);
  EXPECT_TRUE(finds_all(first_, {"sam", "tom"}));
}

TEST_F(ReplicatedDirectoryTest, AcknowledgedChangeWaitsOnItsServer) {
  // Replication is asynchronous: an account server 1 acknowledged while its peer was down
  // is on server 1 alone. Server 1 hangs, the peer comes back: the peer does not know the
  // account until server 1 answers again, and then has it.
  ASSERT_EQ(kill(server_pid(2), SIGKILL), 0);
  EXPECT_EQ(serve(first_, "set lag pw\n")[0], "+OK lag added to database.");
  const pid_t held = server_pid(1);
  ASSERT_EQ(kill(held, SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { kill(pid, SIGCONT); }
  } resume{held};
  restart_server(2);
  EXPECT_EQ(serve(second_, "check lag pw\nlookup lag\n"),
            (std::vector<std::string>{"-ERR lag does not exist or password incorrect.",
                                      "-ERR User lag not found.", "+OK"}));
  ASSERT_EQ(kill(held, SIGCONT), 0);
  EXPECT_TRUE(finds_all(second_, {"lag"}));
}

}  // namespace
