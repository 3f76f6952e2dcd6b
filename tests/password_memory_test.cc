// Drives a running ostrel through set and check, then reads the whole memory of that
// process while it waits for its next line: no password typed so far may be found in
// it, narrow or UTF-16. Skips where the process's memory cannot be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

// Looks for each needle in every readable mapping of process pid.
Scan scan_memory(pid_t pid, const std::vector<std::pair<std::string, std::string>>& needles) {
  Scan scan;
  const std::string proc = "/proc/" + std::to_string(pid);
  const int mem = ::open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return scan;
  std::ifstream maps(proc + "/maps");
  std::string line;
  std::vector<char> chunk;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, name;
    fields >> range >> perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, name);
    if (perms.empty() || perms[0] != 'r' || name == "[vvar]" || name == "[vsyscall]") continue;
    const unsigned long begin = std::stoul(range, nullptr, 16);
    const unsigned long end = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
    chunk.resize(end - begin);
    std::size_t got = 0;
    while (got < chunk.size()) {
      const ssize_t n =
          ::pread(mem, chunk.data() + got, chunk.size() - got, static_cast<off_t>(begin + got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got > 0) scan.readable = true;
    const std::string_view bytes(chunk.data(), got);
    for (const auto& [form, needle] : needles) {
      const std::size_t at = bytes.find(needle);
      if (at == std::string_view::npos) continue;
      std::ostringstream where;
      where << form << " at 0x" << std::hex << begin + at << " in " << line;
      scan.found.push_back(where.str());
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
