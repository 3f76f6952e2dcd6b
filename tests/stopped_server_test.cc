// The fixture's directory server or domain controller stopped (SIGSTOP): it still accepts
// connections and says nothing. Every command of a running ostrel, and a login through
// pam_ostrel.so, answers an outage code within a bounded time, asleep while it waits; once
// the server goes on, the same process is answered again. Needs the single test server
// (tests/ldap/harness.sh start, or tests/ad/harness.sh); skips without it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ad_domain.h"
#include "ldap_directory.h"
#include "ostrel_process.h"
#include "ostrel_session.h"
#include "pam_answer.h"
#include "platform/posix/directory/ldap_connect.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
// Loose: the bound is two step timeouts; a hang or a retry too many shows well past it.
constexpr auto kCommandLimit = std::chrono::seconds(3 * ostrel_posix::kDirectoryTimeoutSeconds);

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The process pid and all its descendants.
std::vector<pid_t> process_tree(pid_t pid) {
  std::vector<pid_t> tree{pid};
  for (std::size_t at = 0; at < tree.size(); ++at) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) break;
    while (const dirent* entry = readdir(proc)) {
      const pid_t child = static_cast<pid_t>(std::atol(entry->d_name));
      if (child <= 0) continue;
      std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      const std::size_t end = text.rfind(')');
      if (end == std::string::npos) continue;
      std::istringstream fields(text.substr(end + 2));
      std::string state;
      pid_t parent = 0;
      fields >> state >> parent;
      if (parent == tree[at]) tree.push_back(child);
    }
    closedir(proc);
  }
  return tree;
}

// The CPU time the process has used, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Stops the processes for as long as this lives, and lets them go on at the end.
struct Stopped {
  std::vector<pid_t> pids;
  explicit Stopped(std::vector<pid_t> stopped) : pids(std::move(stopped)) {
    for (pid_t pid : pids) kill(pid, SIGSTOP);
  }
  ~Stopped() { resume(); }
  void resume() {
    for (pid_t pid : pids) kill(pid, SIGCONT);
    pids.clear();
  }
};

double seconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string ask(OstrelSession& session, const std::string& line) {
  EXPECT_TRUE(send_text(session, line + "\n"));
  std::string reply;
  EXPECT_EQ(read_line(session, reply, 60000), LineResult::kLine) << line;
  return reply;
}

int pam_login(const fs::path& confdir, const char* user, const char* password) {
  pam_conv conv{answer_password, const_cast<char*>(password)};
  pam_handle_t* pamh = nullptr;
  if (pam_start_confdir("ostrel-test", user, &conv, confdir.c_str(), &pamh) != PAM_SUCCESS)
    return -1;
  const int result = pam_authenticate(pamh, 0);
  pam_end(pamh, result);
  return result;
}

// With the server running, an account is made and read; then, the server stopped, each
// command is an outage answered in time, and so is a PAM login; the server going on, the
// same process answers again.
void commands_outlast_a_stopped_server(const std::vector<std::string>& settings,
                                       const std::vector<pid_t>& server, const std::string& user,
                                       const std::string& password) {
  const ScratchDir scratch;
  const fs::path work = scratch.path / "work";
  fs::create_directories(work);
  std::string text = "path " + work.string() + "\nlog info\n";
  for (const std::string& line : settings) text += line + "\n";
  write_text(work / "ostrel.ini", text);
  fs::create_directories(scratch.path / "pam.d");
  const std::string module = std::string(OSTREL_PAM_MODULE) + " path=" + work.string() + "\n";
  write_text(scratch.path / "pam.d" / "ostrel-test", "auth required " + module);

  OstrelSession session;
  ASSERT_TRUE(start_session(session, work, {}, scratch.path / "stderr"));
  ASSERT_EQ(ask(session, "set " + user + " " + password).rfind("+OK", 0), 0u);
  ASSERT_EQ(ask(session, "lookup " + user).rfind("+OK " + user, 0), 0u);

  Stopped stopped(server);
  const double cpu_before = cpu_seconds(session.pid);
  // The first command meets the open connection; the others open new ones (TLS included).
  for (const std::string& command : {"lookup " + user, "check " + user + " " + password,
                                     std::string("search *"), "set " + user + "x " + password}) {
    const auto start = Clock::now();
    const std::string reply = ask(session, command);
    EXPECT_EQ(reply.rfind("-ERR 53:", 0), 0u) << command << ": " << reply;
    EXPECT_LT(Clock::now() - start, kCommandLimit) << command;
  }
  // Asleep while waiting: a spinning wait costs about as much CPU as it waits.
  EXPECT_LT(cpu_seconds(session.pid) - cpu_before, 1.0);

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  EXPECT_EQ(pam_login(scratch.path / "pam.d", user.c_str(), password.c_str()),
            PAM_AUTHINFO_UNAVAIL);
  EXPECT_LT(Clock::now() - start, kCommandLimit);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(seconds(after) - seconds(before), 1.0);

  stopped.resume();
  EXPECT_EQ(ask(session, "check " + user + " " + password).rfind("+OK " + user, 0), 0u);
  EXPECT_EQ(pam_login(scratch.path / "pam.d", user.c_str(), password.c_str()), PAM_SUCCESS);
  EXPECT_EQ(finish_session(session, 30), 0);
}

TEST(DirectoryStoppedServerTest, EveryCommandAnswersAnOutageInTime) {
  const std::optional<TestDirectory> directory = test_directory();
  const std::string pid_file = env("OSTREL_TEST_LDAP_DIR") + "/slapd.pid";
  if (!directory || !fs::exists(pid_file)) GTEST_SKIP() << "no single test directory server";
  std::string error;
  ASSERT_TRUE(reset_directory(*directory, &error)) << error;
  const pid_t slapd = static_cast<pid_t>(std::atol(read_text(pid_file).c_str()));
  ASSERT_GT(slapd, 0);
  commands_outlast_a_stopped_server(directory_settings(*directory, directory->uri), {slapd},
                                    "quiet", "Quiet-pw1");
}

TEST(DomainStoppedServerTest, EveryCommandAnswersAnOutageInTime) {
  const std::optional<TestDomain> domain = test_domain();
  const std::string pid_file = env("OSTREL_TEST_AD_DIR") + "/run/harness.pid";
  if (!domain || !fs::exists(pid_file)) GTEST_SKIP() << "no test domain controller";
  std::string error;
  ASSERT_TRUE(reset_domain(*domain, &error)) << error;
  const pid_t samba = static_cast<pid_t>(std::atol(read_text(pid_file).c_str()));
  ASSERT_GT(samba, 0);
  commands_outlast_a_stopped_server(domain_settings(*domain), process_tree(samba), "quiet",
                                    "Quiet-Pass.1");
}

}  // namespace
