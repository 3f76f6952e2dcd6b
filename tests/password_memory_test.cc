// Drives a running ostrel through set and check, then reads the whole memory of that
// process while it waits for its next line: no password typed so far may be found in
// it, narrow or UTF-16. Skips where the process's memory cannot be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ldap_directory.h"
#include "ostrel_process.h"
#include "ostrel_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kReplyWaitMs = 60000;
const std::string kPassword = "Erin-7f3Q9zLw!xKq2Vb8Np4Rt6Yh1Jm5Cd0Gs";
const std::string kWrongPassword = "Wr0ng-k2Vx8Rq#Tz5Lm9Pc3Wd7Hf1Bn6Xj4Ks";
constexpr std::size_t kPiece = 8;

std::string utf16(const std::string& ascii) {
  std::string wide;
  for (const char c : ascii) wide += std::string{c, '\0'};
  return wide;
}

struct Scan {
  bool readable = false;           // some memory of the process could be read
  std::vector<std::string> found;  // "<form> at <address> in <mapping>"
};

// Looks for each needle in every readable mapping of process pid, read a piece at a
// time. Mappings beyond 1 GiB are a sanitizer's reserved shadow, not memory the program
// fills: they are left out.
Scan scan_memory(pid_t pid, const std::vector<std::pair<std::string, std::string>>& needles) {
  constexpr std::size_t kRead = 1 << 20;
  constexpr unsigned long kLargest = 1ul << 30;
  Scan scan;
  const std::string proc = "/proc/" + std::to_string(pid);
  const int mem = ::open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return scan;
  std::size_t longest = 0;
  for (const auto& needle : needles) longest = std::max(longest, needle.second.size());
  std::ifstream maps(proc + "/maps");
  std::string line;
  std::vector<char> window;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms;
    fields >> range >> perms;
    const std::string name = line.substr(line.find_last_of(' ') + 1);
    if (perms.empty() || perms[0] != 'r' || name == "[vvar]" || name == "[vsyscall]") continue;
    const unsigned long begin = std::stoul(range, nullptr, 16);
    const unsigned long end = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
    if (end - begin > kLargest) continue;
    std::vector<bool> reported(needles.size(), false);
    std::size_t kept = 0;  // the end of the previous piece, for a needle across two
    for (unsigned long at = begin; at < end;) {
      window.resize(kept + kRead);
      const std::size_t want = std::min<unsigned long>(kRead, end - at);
      const ssize_t n = ::pread(mem, window.data() + kept, want, static_cast<off_t>(at));
      if (n <= 0) break;
      scan.readable = true;
      const std::string_view bytes(window.data(), kept + static_cast<std::size_t>(n));
      for (std::size_t i = 0; i < needles.size(); ++i) {
        const std::size_t found = bytes.find(needles[i].second);
        if (reported[i] || found == std::string_view::npos) continue;
        reported[i] = true;
        std::ostringstream where;
        where << needles[i].first << " at 0x" << std::hex << at - kept + found << " in " << line;
        scan.found.push_back(where.str());
      }
      at += static_cast<unsigned long>(n);
      kept = std::min(bytes.size(), longest - 1);
      std::copy(bytes.end() - kept, bytes.end(), window.begin());
    }
  }
  ::close(mem);
  return scan;
}

// Runs set, a wrong check and a right check in a session over the settings in work, then
// scans the process while it waits for input, and quits it.
void expect_no_password_left(const fs::path& work, const std::string& settings) {
  write_text(work / "ostrel.ini", settings);
  OstrelSession session;
  ASSERT_TRUE(start_session(session, work, {}, work / "stderr.txt"));
  const struct {
    std::string line, reply;
  } steps[] = {
      {"set erin " + kPassword + "\n", "+OK erin added to database."},
      {"check erin " + kWrongPassword + "\n", "-ERR erin does not exist or password incorrect."},
      {"check erin " + kPassword + "\n", "+OK erin config 0 comment=\"Ostrel 1.0g user\""},
  };
  for (const auto& step : steps) {
    ASSERT_TRUE(send_text(session, step.line));
    std::string reply;
    ASSERT_EQ(read_line(session, reply, kReplyWaitMs), LineResult::kLine) << step.line;
    EXPECT_EQ(reply, step.reply);
  }
  // Any eight characters in a row of a password count, narrow or UTF-16.
  std::vector<std::pair<std::string, std::string>> needles;
  for (const std::string& password : {kPassword, kWrongPassword}) {
    for (std::size_t at = 0; at + kPiece <= password.size(); ++at) {
      const std::string piece = password.substr(at, kPiece);
      needles.emplace_back("'" + piece + "'", piece);
      needles.emplace_back("UTF-16 '" + piece + "'", utf16(piece));
    }
  }
  const Scan scan = scan_memory(session.pid, needles);
  ASSERT_TRUE(send_text(session, "quit\n"));
  EXPECT_EQ(finish_session(session, 60), 0);
  if (!scan.readable) GTEST_SKIP() << "the memory of process " << session.pid << " cannot be read";
  for (const std::string& found : scan.found) ADD_FAILURE() << found;
}

TEST(PasswordMemory, StoreSessionKeepsNoPassword) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  expect_no_password_left(scratch.path, "path " + scratch.path.string() +
                                            "\nlog debug\naccount_db " +
                                            (scratch.path / "ostrel.db").string() + "\n");
}

TEST(DirectoryPasswordMemory, DirectorySessionKeepsNoPassword) {
  const std::optional<TestDirectory> directory = test_directory();
  if (!directory) GTEST_SKIP() << "OSTREL_TEST_LDAP_URI is not set (tests/ldap/harness.sh)";
#if defined(__SANITIZE_ADDRESS__)
  // The program's wiping free is left out there: the sanitizer's allocator keeps the
  // blocks libldap frees as they were.
  GTEST_SKIP() << "built with AddressSanitizer";
#endif
  std::string error;
  ASSERT_TRUE(reset_directory(*directory, &error)) << error;
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  std::string settings = "path " + scratch.path.string() + "\nlog debug\n";
  for (const std::string& line : directory_settings(*directory, directory->uri))
    settings += line + "\n";
  expect_no_password_left(scratch.path, settings);
}

}  // namespace
