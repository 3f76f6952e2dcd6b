// Two ostrel processes and the host's useradd change the same scratch account files at
// once: every account each of them added is there, once, and the files pass the host's
// checkers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "ostrel_process.h"
#include "ostrel_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kAccountsPerProcess = 15;
constexpr int kUseraddAccounts = 5;
constexpr int kReplyWaitMs = 60000;

// useradd on the scratch files; it does not wait for a lock, so it is tried again while
// the files are busy. True when the account was added.
bool useradd(const fs::path& root, const std::string& name) {
  const std::string command =
      "/usr/sbin/useradd --prefix " + root.string() + " -M " + name + " >/dev/null 2>&1";
  for (int attempt = 0; attempt < 500; ++attempt) {
    const int status = std::system(command.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) return false;  // 1: files busy
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::set<std::string> names_in(const fs::path& file) {
  std::set<std::string> names;
  for (const std::string& line : split_lines(read_text(file))) {
    EXPECT_TRUE(names.insert(line.substr(0, line.find(':'))).second) << "twice: " << line;
  }
  return names;
}

TEST(SystemWriters, TwoProcessesAndUseraddLoseNothing) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const fs::path etc = scratch.path / "etc";
  fs::create_directories(etc);
  write_text(etc / "passwd", "root:x:0:0:root:/root:/bin/sh\n");
  write_text(etc / "shadow", "root:*:19000:0:99999:7:::\n");
  write_text(etc / "group", "root:x:0:\nGuests:x:546:\n");
  write_text(etc / "gshadow", "root:*::\nGuests:!::\n");
  write_text(etc / "login.defs", "UID_MIN 1000\nUID_MAX 60000\nUSERGROUPS_ENAB yes\n");
  const std::string settings = "log info\naccount_db system\npassword_file " +
                               (etc / "passwd").string() + "\nshadow_file " +
                               (etc / "shadow").string() + "\n";
  std::set<std::string> expected = {"root"};
  OstrelSession sessions[2];
  for (int p = 0; p < 2; ++p) {
    const fs::path work = scratch.path / ("work" + std::to_string(p));
    fs::create_directories(work);
    write_text(work / "ostrel.ini", "path " + work.string() + "\n" + settings);
    ASSERT_TRUE(start_session(sessions[p], work, {}, work / "stderr.txt"));
    std::string batch;
    for (int k = 0; k < kAccountsPerProcess; ++k) {
      const std::string name = "p" + std::to_string(p) + "u" + std::to_string(k);
      batch += "set " + name + " pw" + std::to_string(k) + "\n";
      expected.insert(name);
    }
    ASSERT_TRUE(send_text(sessions[p], batch + "quit\n"));
  }
  const bool as_root = geteuid() == 0 && access("/usr/sbin/useradd", X_OK) == 0;
  if (as_root) {
    for (int k = 0; k < kUseraddAccounts; ++k) {
      const std::string name = "admin" + std::to_string(k);
      EXPECT_TRUE(useradd(scratch.path, name)) << name;
      expected.insert(name);
    }
  }
  for (int p = 0; p < 2; ++p) {
    for (int k = 0; k < kAccountsPerProcess; ++k) {
      std::string line;
      ASSERT_EQ(read_line(sessions[p], line, kReplyWaitMs), LineResult::kLine);
      EXPECT_EQ(line,
                "+OK p" + std::to_string(p) + "u" + std::to_string(k) + " added to database.");
    }
    EXPECT_EQ(finish_session(sessions[p], 60), 0);
  }
  EXPECT_EQ(names_in(etc / "passwd"), expected);
  EXPECT_EQ(names_in(etc / "shadow"), expected);
  // Every account made by ostrel is in Guests, whoever wrote the file after it.
  std::string guests;
  for (const std::string& line : split_lines(read_text(etc / "group")))
    if (line.rfind("Guests:", 0) == 0) guests = "," + line.substr(line.rfind(':') + 1) + ",";
  for (const std::string& name : expected) {
    EXPECT_TRUE(name[0] != 'p' || guests.find("," + name + ",") != std::string::npos) << name;
  }
  if (as_root) {
    const std::string root = scratch.path.string();
    EXPECT_EQ(std::system(("/usr/sbin/pwck -r -q -R " + root + " >&2").c_str()), 0);
    EXPECT_EQ(std::system(("/usr/sbin/grpck -r -R " + root + " >&2").c_str()), 0);
  }
}

}  // namespace
