// Two mail hosts, one directory: two ostrel processes with work paths of their own and no
// store file, one reached over TCP and one over the directory's unix socket. What one
// writes, the other reads. Needs the test directory (tests/ldap/harness.sh); skips
// without OSTREL_TEST_LDAP_URI.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ldap_directory.h"
#include "ostrel_process.h"

namespace fs = std::filesystem;

namespace {

struct Host {
  ScratchDir scratch;
};

void configure(const Host& host, const TestDirectory& directory, const std::string& uri) {
  std::string settings = "path " + host.scratch.path.string() + "\nlog debug\n";
  for (const std::string& line : directory_settings(directory, uri)) settings += line + "\n";
  write_text(host.scratch.path / "ostrel.ini", settings);
}

std::vector<std::string> session(const Host& host, const std::string& input) {
  const ChildResult run = run_ostrel(host.scratch.path, {}, input + "quit\n");
  EXPECT_TRUE(run.exited && run.exit_code == 0) << "stderr:\n" << run.err;
  std::vector<std::string> lines = split_lines(run.out);
  EXPECT_FALSE(lines.empty());
  if (!lines.empty() && lines.back() == "+OK") lines.pop_back();  // the quit
  return lines;
}

class TwoHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::optional<TestDirectory> found = test_directory();
    if (!found) {
      GTEST_SKIP() << "OSTREL_TEST_LDAP_URI is not set (tests/ldap/harness.sh)";
    }
    directory_ = *found;
    std::string error;
    ASSERT_TRUE(reset_directory(directory_, &error)) << error;
    configure(smtp_, directory_, directory_.uri);
    configure(pop3_, directory_,
              directory_.ldapi_uri.empty() ? directory_.uri : directory_.ldapi_uri);
  }
  void TearDown() override {
    if (HasFatalFailure() || IsSkipped()) return;
    // Neither host made a store of its own.
    for (const Host* host : {&smtp_, &pop3_}) {
      EXPECT_FALSE(fs::exists(host->scratch.path / "ostrel.db")) << host->scratch.path;
    }
  }
  TestDirectory directory_;
  Host smtp_, pop3_;
};

TEST_F(TwoHostsTest, WhatOneHostWritesTheOtherReads) {
  const std::string home = smtp_.scratch.path.string() + "/home/alice";
  EXPECT_EQ(session(smtp_, "set alice Wonder!land home=" + home + " comment=Reader\n"),
            std::vector<std::string>{"+OK alice added to database."});

  const std::string attributes = " config 0 home=\"" + home + "\" comment=\"Reader\"";
  EXPECT_EQ(session(pop3_,
                    "check alice Wonder!land\ncheck ALICE Wonder!lane\nlookup alice\n"
                    "set alice (NULL) comment=Moved\n"),
            (std::vector<std::string>{
                "+OK alice" + attributes, "-ERR ALICE does not exist or password incorrect.",
                "+OK alice" + attributes, "+OK User alice added to database."}));

  // The update of the second host (the home directory kept), and the first host's delete,
  // seen by the other.
  EXPECT_EQ(session(smtp_, "check alice Wonder!land\ndel alice\n"),
            (std::vector<std::string>{"+OK alice config 0 home=\"" + home + "\" comment=\"Moved\"",
                                      "+OK Deleted user succesfully."}));
  EXPECT_EQ(session(pop3_, "check alice Wonder!land\nlookup alice\n"),
            (std::vector<std::string>{"-ERR alice does not exist or password incorrect.",
                                      "-ERR User alice not found."}));
}

TEST_F(TwoHostsTest, BothHostsAddAtOnce) {
  auto add_five = [](const Host* host, char first) {
    std::string input;
    for (int i = 0; i < 5; ++i)
      input += "set " + std::string(1, first) + std::to_string(i) + " pw\n";
    return session(*host, input);
  };
  std::vector<std::string> smtp_out, pop3_out;
  std::thread smtp([&] { smtp_out = add_five(&smtp_, 'm'); });
  std::thread pop3([&] { pop3_out = add_five(&pop3_, 'p'); });
  smtp.join();
  pop3.join();
  EXPECT_EQ(smtp_out.size(), 5u);
  EXPECT_EQ(pop3_out.size(), 5u);

  std::vector<std::string> listing;
  for (const char* first : {"m", "p"}) {
    for (int i = 0; i < 5; ++i) {
      listing.push_back(std::string("+DATA ") + first + std::to_string(i) +
                        " comment=\"Ostrel 1.0g user\"");
    }
  }
  listing.push_back("+OK 10 entries found.");
  EXPECT_EQ(session(smtp_, "search *\n"), listing);
  EXPECT_EQ(session(pop3_, "search *\n"), listing);
}

}  // namespace
