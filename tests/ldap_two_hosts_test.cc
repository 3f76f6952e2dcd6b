// Two mail hosts, one directory: two ostrel processes with work paths of their own and no
// store file, one reached over TCP and one over the directory's unix socket. What one
// writes, the other reads. Needs the test directory (tests/ldap/harness.sh); skips
// without OSTREL_TEST_LDAP_URI.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "directory.h"
#include "ldap_directory.h"
#include "ostrel_process.h"
#include "ostrel_session.h"
#include "platform/platform.h"

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

// Sends one line to a running host and reads its one reply.
std::string ask(OstrelSession& host, const std::string& line) {
  EXPECT_TRUE(send_text(host, line + "\n"));
  std::string reply;
  EXPECT_EQ(read_line(host, reply, 30000), LineResult::kLine) << line;
  return reply;
}

// On the first server (the other replicates it): the entry's pwdAccountLockedTime set an
// hour back, past the policy's lock duration, or (values empty) whether it has one.
bool lock_time(const TestDirectory& directory, const std::string& dn, bool age) {
  std::string error;
  const migrate::Connection ld =
      migrate::connect_directory({directory.uri.substr(0, directory.uri.find(' ')), directory.base,
                                  directory.bind_dn, directory.bind_pw_file},
                                 &error);
  if (!ld) return false;
  char type[] = "pwdAccountLockedTime";
  if (age) {
    char stamp[32];
    const std::time_t then = std::time(nullptr) - 3600;
    std::tm parts{};
    gmtime_r(&then, &parts);
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%SZ", &parts);
    berval value{static_cast<ber_len_t>(std::strlen(stamp)), stamp};
    berval* values[] = {&value, nullptr};
    LDAPMod replace{};
    replace.mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
    replace.mod_type = type;
    replace.mod_bvalues = values;
    LDAPMod* mods[] = {&replace, nullptr};
    return ldap_modify_ext_s(ld.get(), dn.c_str(), mods, nullptr, nullptr) == LDAP_SUCCESS;
  }
  char* attributes[] = {type, nullptr};
  LDAPMessage* result = nullptr;
  ldap_search_ext_s(ld.get(), dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0,
                    nullptr, nullptr, nullptr, 0, &result);
  berval** found = ldap_get_values_len(ld.get(), ldap_first_entry(ld.get(), result), type);
  const bool has = found != nullptr;
  ldap_value_free_len(found);
  ldap_msgfree(result);
  return has;
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

// The directory's password policy counts the wrong passwords of every host: five lock
// the account, whose logons then answer 1909, until the lock runs out, an administrator's
// set removes it or a new password replaces it.
TEST_F(TwoHostsTest, WrongPasswordsOfBothHostsLockTheAccount) {
  ASSERT_EQ(session(smtp_, "set carol Right-1\n"),
            std::vector<std::string>{"+OK carol added to database."});
  OstrelSession smtp, pop3;
  ASSERT_TRUE(start_session(smtp, smtp_.scratch.path, {}, smtp_.scratch.path / "stderr"));
  ASSERT_TRUE(start_session(pop3, pop3_.scratch.path, {}, pop3_.scratch.path / "stderr"));
  const std::string lookup = ask(pop3, "lookup carol");
  const std::string accepted = "+OK carol config 0 comment=\"Ostrel 1.0g user\"";
  const std::string refused = "-ERR carol does not exist or password incorrect.";
  const std::string locked_out = "-ERR 1909:Unknown error has occurred.";
  auto lock = [&] {
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(ask(i % 2 == 0 ? smtp : pop3, "check carol wrong" + std::to_string(i)), refused);
  };
  use_directory(directory_);
  auto flagged = [] {
    LPBYTE buffer = nullptr;
    if (NetUserGetInfo(nullptr, reinterpret_cast<LPCWSTR>(u"carol"), 1, &buffer) != 0) return false;
    const bool set = (reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags & UF_LOCKOUT) != 0;
    NetApiBufferFree(buffer);
    return set;
  };
  const std::string dn = "uid=carol,ou=users," + directory_.base;

  lock();
  EXPECT_EQ(ask(smtp, "check carol Right-1"), locked_out);
  EXPECT_EQ(ask(pop3, "check carol wrong"), locked_out);
  EXPECT_TRUE(flagged());
  EXPECT_EQ(ask(smtp, "lookup carol"), lookup);  // the record says it, the reply does not
  // Past the lock's duration by the directory's clock, the right password is taken.
  ASSERT_TRUE(lock_time(directory_, dn, true));
  EXPECT_FALSE(flagged());
  EXPECT_EQ(ask(pop3, "check carol Right-1"), accepted);

  // An administrator's set unlocks at once, and the count starts afresh.
  lock();
  EXPECT_EQ(ask(pop3, "check carol Right-1"), locked_out);
  EXPECT_EQ(ask(smtp, "set carol (NULL)"), "+OK User carol added to database.");
  EXPECT_FALSE(flagged());
  EXPECT_EQ(ask(pop3, "check carol wrong"), refused);
  EXPECT_EQ(ask(pop3, "check carol Right-1"), accepted);

  // So does a new password.
  lock();
  EXPECT_EQ(ask(pop3, "set carol New-2"), "+OK carol added to database.");
  EXPECT_FALSE(flagged());
  EXPECT_EQ(ask(smtp, "check carol New-2"), accepted);

  // Unknown names never lock the entry their logons are checked against.
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(ask(smtp, "check nobody wrong"), "-ERR nobody does not exist or password incorrect.");
  EXPECT_FALSE(lock_time(directory_, "cn=ostrel-decoy,ou=users," + directory_.base, false));
  platform_set_account_db(nullptr);
  EXPECT_EQ(finish_session(smtp, 30), 0);
  EXPECT_EQ(finish_session(pop3, 30), 0);
}

}  // namespace
