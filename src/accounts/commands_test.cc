#include <string>
#include <vector>

#include "accounts/accounts_test_support.h"

namespace {

class CommandsTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    add_user("alice", "secret", "/home/alice", "Sales");
    add_user("bob", "pw");
  }

  // True when the password word of the last run holds no byte of the password any more.
  bool password_wiped() const {
    if (storage_.size() < 4) return true;
    for (char c : storage_[3])
      if (c != '\0') return false;
    return true;
  }
};

struct Row {
  std::vector<std::string> words;
  const char* fault;  // function whose next call fails with code, or null
  DWORD code;
  std::string reply;
  int result;
};

constexpr const char* kAlice = "config 0 home=\"/home/alice\" comment=\"Sales\"\n";

TEST_F(CommandsTest, CheckAnswersByLogonAndAccountRead) {
  const std::string long_password(512, 'p');
  const Row rows[] = {
      {{"check", "alice", "secret"}, nullptr, 0, std::string("+OK alice ") + kAlice, 1},
      {{"check", "ALICE", "secret", "extra"}, nullptr, 0, std::string("+OK ALICE ") + kAlice, 1},
      {{"check", "bob", "pw"}, nullptr, 0, "+OK bob config 0\n", 1},
      {{"check", "alice", "wrong"},
       nullptr,
       0,
       "-ERR alice does not exist or password incorrect.\n",
       0},
      {{"check", "nobody", "secret"},
       nullptr,
       0,
       "-ERR nobody does not exist or password incorrect.\n",
       0},
      {{"check", "alice"},
       nullptr,
       0,
       "-ERR User alice does not exist or password incorrect.\n",
       1},
      {{"check"}, nullptr, 0, "", -1},
      {{"check", "bad\xff", "secret"},
       nullptr,
       0,
       "-ERR Unable to convert to unicode, no possible translation.\n",
       0},
      {{"check", "alice", long_password},
       nullptr,
       0,
       "-ERR Unable to convert to unicode, insufficient buffer space.\n",
       0},
      {{"check", "alice", "secret"},
       "LogonUserW",
       ERROR_PRIVILEGE_NOT_HELD,
       "-ERR Incorrect Privilege (Tarrow setup may be incorrect).\n",
       0},
      {{"check", "alice", "secret"},
       "LogonUserW",
       ERROR_LOGON_FAILURE,
       "-ERR alice does not exist or password incorrect.\n",
       0},
      {{"check", "alice", "secret"},
       "LogonUserW",
       ERROR_ACCOUNT_DISABLED,
       "-ERR 1331:Unknown error has occurred.\n",
       0},
      {{"check", "alice", "secret"},
       "NetUserGetInfo",
       ERROR_ACCESS_DENIED,
       "-ERR The user does not have access to the requested information.\n",
       0},
      {{"check", "alice", "secret"},
       "NetUserGetInfo",
       NERR_UserNotFound,
       "-ERR That user does not exist.\n",
       0},
      {{"check", "alice", "secret"},
       "NetUserGetInfo",
       NERR_InvalidComputer,
       "-ERR The computer name is invalid.\n",
       0},
      {{"check", "alice", "secret"},
       "NetUserGetInfo",
       ERROR_BAD_NETPATH,
       "-ERR 53:Unknown error has occurred.\n",
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    platform_clear_faults();
    if (row.fault) platform_inject_fault(row.fault, row.code);
    const std::string before = log_text();
    EXPECT_EQ(run(check_account, row.words), row.reply);
    EXPECT_EQ(result_, row.result);
    EXPECT_TRUE(password_wiped());
    const std::string lines = log_text().substr(before.size());
    EXPECT_NE(lines.find("INFO Performing Windows check"), std::string::npos);
    const bool logged_on = row.result == 1 && row.words.size() > 2;
    const bool refused = row.result == 0 && row.reply.find("unicode") == std::string::npos;
    EXPECT_EQ(lines.find("DEBUG Success.") != std::string::npos,
              logged_on || (row.fault && std::string(row.fault) == "NetUserGetInfo"));
    EXPECT_EQ(lines.find("DEBUG Failure.") != std::string::npos, refused);
    if (row.words.size() > 2 && row.reply.find("unicode") == std::string::npos) {
      EXPECT_NE(lines.find("DEBUG Pass = xxxx"), std::string::npos);
    }
    if (row.words.size() > 2 && !row.words[2].empty()) {
      EXPECT_EQ(lines.find(row.words[2]), std::string::npos) << "password in the log";
    }
  }
}

TEST_F(CommandsTest, CheckWithoutHostMakesNoLogon) {
  settings().host = "";
  EXPECT_EQ(run(check_account, {"check", "alice", "secret"}),
            "-DEAD database failure (can't get hostname needed for login - check host setting "
            "in ini file)\n");
  EXPECT_EQ(result_, 0);
  EXPECT_TRUE(password_wiped());
  // Another computer's name: the logon is refused there.
  settings().host = "elsewhere.invalid";
  EXPECT_EQ(run(check_account, {"check", "alice", "secret"}),
            "-ERR alice does not exist or password incorrect.\n");
  // This computer by name.
  settings().host = "localhost";
  EXPECT_EQ(run(check_account, {"check", "alice", "secret"}), std::string("+OK alice ") + kAlice);
}

TEST_F(CommandsTest, LookupAnswersNotFoundUnlessTheStoreCannotAnswer) {
  const Row rows[] = {
      {{"lookup", "alice"}, nullptr, 0, std::string("+OK alice ") + kAlice, 1},
      {{"lookup", "Alice", "ignored"}, nullptr, 0, std::string("+OK Alice ") + kAlice, 1},
      {{"lookup", "bob"}, nullptr, 0, "+OK bob config 0\n", 1},
      {{"lookup", "nobody"}, nullptr, 0, "-ERR User nobody not found.\n", 0},
      {{"lookup"}, nullptr, 0, "", -1},
      {{"lookup", "bad\xff"},
       nullptr,
       0,
       "-ERR Unable to convert to unicode, no possible translation.\n",
       0},
      {{"lookup", "alice"},
       "NetUserGetInfo",
       ERROR_ACCESS_DENIED,
       "-ERR User alice not found.\n",
       0},
      {{"lookup", "alice"},
       "NetUserGetInfo",
       NERR_InvalidComputer,
       "-ERR User alice not found.\n",
       0},
      // A store that is busy or broken does not mean the account is missing.
      {{"lookup", "alice"},
       "NetUserGetInfo",
       ERROR_BUSY,
       "-ERR 170:Unknown error has occurred.\n",
       0},
      {{"lookup", "alice"},
       "NetUserGetInfo",
       ERROR_FILE_CORRUPT,
       "-ERR 1392:Unknown error has occurred.\n",
       0},
      {{"lookup", "alice"},
       "NetUserGetInfo",
       NERR_InternalError,
       "-ERR 2140:Unknown error has occurred.\n",
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    platform_clear_faults();
    if (row.fault) platform_inject_fault(row.fault, row.code);
    EXPECT_EQ(run(lookup_account, row.words), row.reply);
    EXPECT_EQ(result_, row.result);
  }
  // Nor does a store that cannot be opened, read or written, or whose files moved.
  for (const DWORD code : {ERROR_OPEN_FAILED, ERROR_WRITE_PROTECT, ERROR_IO_DEVICE,
                           ERROR_FILE_INVALID, ERROR_DISK_FULL}) {
    platform_inject_fault("NetUserGetInfo", code);
    EXPECT_EQ(run(lookup_account, {"lookup", "alice"}),
              "-ERR " + std::to_string(code) + ":Unknown error has occurred.\n");
  }
  const std::string log = log_text();
  EXPECT_NE(log.find("INFO Performing lookup"), std::string::npos);
  EXPECT_EQ(log.find("User (alice)"), std::string::npos);
  // With no host the local computer answers.
  settings().host = "";
  EXPECT_EQ(run(lookup_account, {"lookup", "bob"}), "+OK bob config 0\n");
}

TEST_F(CommandsTest, FieldThatCannotBeConvertedIsLeftOutOfOneLine) {
  settings().host = "localhost";  // no registry read, so the next conversion is the text's
  const std::vector<std::string> commands[] = {{"lookup", "alice"}, {"check", "alice", "secret"}};
  for (const auto& words : commands) {
    SCOPED_TRACE(words[0]);
    platform_clear_faults();
    platform_inject_fault("WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(run(words[0] == "lookup" ? lookup_account : check_account, words),
              "+OK alice config 0 comment=\"Sales\"\n");
    EXPECT_EQ(result_, 1);
    EXPECT_NE(log_text().find("ERROR Account alice: home left out of the reply"),
              std::string::npos);
  }
}

TEST_F(CommandsTest, DeleteAnswersByTable) {
  const Row rows[] = {
      {{"del", "ALICE"}, nullptr, 0, "+OK Deleted user succesfully.\n", 1},
      {{"del", "alice"}, nullptr, 0, "+OK User account not found.\n", 0},
      {{"del"}, nullptr, 0, "", -1},
      {{"del", "bad\xff"},
       nullptr,
       0,
       "-ERR Unable to convert to unicode, no possible translation.\n",
       0},
      {{"del", "bob"},
       "NetUserDel",
       ERROR_ACCESS_DENIED,
       "-ERR The user does not have access to the requested information.\n",
       0},
      {{"del", "bob"},
       "NetUserDel",
       NERR_NotPrimary,
       "-ERR The operation is allowed only on the primary domain controller of the domain.\n",
       0},
      {{"del", "bob"},
       "NetUserDel",
       NERR_InvalidComputer,
       "-ERR The computer name is invalid.\n",
       0},
      {{"del", "bob"}, "NetUserDel", ERROR_BAD_NETPATH, "-ERR 53:Unknown error occurred.\n", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    platform_clear_faults();
    if (row.fault) platform_inject_fault(row.fault, row.code);
    EXPECT_EQ(run(delete_account, row.words), row.reply);
    EXPECT_EQ(result_, row.result);
    EXPECT_EQ(negative_sent() != 0, row.result == 0);
  }
  const std::string log = log_text();
  EXPECT_NE(log.find("ERROR +OK User account not found."), std::string::npos);
  EXPECT_NE(log.find("INFO +OK Deleted user succesfully."), std::string::npos);
  EXPECT_NE(log.find("INFO User (ALICE)"), std::string::npos);
  // bob survived the refused deletions; with no host the local computer deletes him.
  settings().host = "";
  EXPECT_EQ(run(delete_account, {"del", "bob"}), "+OK Deleted user succesfully.\n");
  EXPECT_EQ(run(lookup_account, {"lookup", "bob"}), "-ERR User bob not found.\n");
}

}  // namespace
