#include <cstring>

#include "accounts/store_fixture_test.h"

namespace {

class SetCommandTest : public StoreTest {};

TEST_F(SetCommandTest, AddCreatesUserWithFixedPrivilegeFlagsAndDefaultComment) {
  int result = 0;
  EXPECT_EQ(run(add_account, {"set", "alice", "s3cret!", "script=logon.cmd"}, &result),
            "+OK alice added to database.\n");
  EXPECT_EQ(result, 1);
  UserRecord r = read_account("alice");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->usri1_priv, USER_PRIV_USER);
  EXPECT_EQ(r->usri1_flags, 66049u);
  EXPECT_EQ(narrow(r->usri1_comment), "Ostrel 1.0g user");
  EXPECT_EQ(narrow(r->usri1_script_path), "logon.cmd");
  EXPECT_EQ(narrow(r->usri1_home_dir), "(absent)");
  EXPECT_TRUE(logon("alice", "s3cret!"));

  // The password never reaches the log, and its word is wiped once the add is over.
  const std::string log = log_text();
  EXPECT_NE(log.find("INFO Performing add"), std::string::npos);
  EXPECT_NE(log.find("INFO User (alice)"), std::string::npos);
  EXPECT_NE(log.find("DEBUG Pass = xxxx"), std::string::npos);
  EXPECT_NE(log.find("DEBUG Joining group (Guests)"), std::string::npos);
  EXPECT_EQ(log.find("s3cret!"), std::string::npos);
  EXPECT_EQ(std::memcmp(last_word(3), "\0\0\0\0\0\0\0", 7), 0);
}

TEST_F(SetCommandTest, UnconvertibleUserNameIsRefused) {
  int result = 0;
  EXPECT_EQ(run(add_account, {"set", "bad\xff", "pw"}, &result),
            "-ERR Unable to convert to unicode, no possible translation.\n");
  EXPECT_EQ(result, 0);
}

TEST_F(SetCommandTest, AddTableRows) {
  const struct {
    DWORD code;
    DWORD parm;
    const char* reply;
  } rows[] = {
      {5, 0, "-ERR The user does not have access to the requested information.\n"},
      {53, 0, "-ERR 53:The network path was not found.\n"},
      {87, 1, "-ERR Username invalid.\n"},
      {87, 2, "-ERR Password invalid.\n"},
      {87, 3, "-ERR Password age invalid.\n"},
      {87, 4, "-ERR Privilage invalid.\n"},
      {87, 5, "-ERR Home directory invalid.\n"},
      {87, 6, "-ERR Comment invlaid.\n"},
      {87, 7, "-ERR Flags invalid.\n"},
      {87, 8, "-ERR Script path invalid.\n"},
      {87, 0, "-ERR Parameter 0 is in error.\n"},
      {87, 9, "-ERR Parameter 9 is in error.\n"},
      {2223, 0, "-ERR The group already exists.\n"},
      {2226, 0,
       "-ERR The operation is allowed only on the primary domain controller of the domain.\n"},
      {2245, 0, "-ERR The password is shorter than required.\n"},
      {2351, 0, "-ERR The computer name is invalid.\n"},
      {1234, 0, "-ERR 1234:Unknown error has occurred.\n"},
      {0xFFFFFFFFu, 0, "-ERR -1:Unknown error has occurred.\n"},
  };
  for (const auto& row : rows) {
    platform_inject_fault("NetUserAdd", row.code, row.parm);
    int result = 1;
    EXPECT_EQ(run(add_account, {"set", "carol", "pw"}, &result), row.reply) << row.code;
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(read_account("carol")) << row.code;
  }
}

TEST_F(SetCommandTest, ExistingAccountIsReplaced) {
  ASSERT_EQ(make_account("dave", "old", "kept?"), NERR_Success);
  int result = 0;
  EXPECT_EQ(run(add_account, {"set", "dave", "new"}, &result), "+OK dave added to database.\n");
  EXPECT_EQ(result, 1);
  EXPECT_NE(log_text().find("DEBUG Removing existing user."), std::string::npos);
  EXPECT_TRUE(logon("dave", "new"));
  EXPECT_FALSE(logon("dave", "old"));
  UserRecord r = read_account("dave");
  ASSERT_TRUE(r);
  EXPECT_EQ(narrow(r->usri1_comment), "Ostrel 1.0g user");
}

TEST_F(SetCommandTest, RemovalTableRows) {
  ASSERT_EQ(make_account("erin", "old"), NERR_Success);
  const struct {
    DWORD code;
    const char* reply;
  } rows[] = {
      {5, "-ERR The user does not have access to the requested information.\n"},
      {2226,
       "-ERR The operation is allowed only on the primary domain controller of the domain.\n"},
      {2351, "-ERR The computer name is invalid.\n"},
      {2221, "-ERR 2221:Unknown error has occurred.\n"},
      {77, "-ERR 77:Unknown error has occurred.\n"},
  };
  for (const auto& row : rows) {
    platform_inject_fault("NetUserDel", row.code);
    int result = 1;
    EXPECT_EQ(run(add_account, {"set", "erin", "new"}, &result), row.reply) << row.code;
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(logon("erin", "old")) << "the old account stays after " << row.code;
  }
}

TEST_F(SetCommandTest, RemovalGoesToTheHostOfTheAdd) {
  // The add on another host finds the name taken there; the local account of that name
  // must not be removed in its place.
  ASSERT_EQ(make_account("frank", "old"), NERR_Success);
  settings().host = "elsewhere";
  platform_inject_fault("NetUserAdd", NERR_UserExists);
  int result = 1;
  EXPECT_EQ(run(add_account, {"set", "frank", "new"}, &result),
            "-ERR 53:Unknown error has occurred.\n");
  EXPECT_EQ(result, 0);
  settings().host.reset();
  EXPECT_TRUE(logon("frank", "old"));
}

TEST_F(SetCommandTest, RepeatedAddIsTriedOnlyOnce) {
  ASSERT_EQ(make_account("gina", "old"), NERR_Success);
  // The first add meets the existing account; the repeated one is refused again.
  platform_inject_fault("NetUserAdd", NERR_UserExists);
  platform_inject_fault("NetUserAdd", NERR_UserExists);
  int result = 1;
  EXPECT_EQ(run(add_account, {"set", "gina", "new"}, &result),
            "-ERR 2224:Unknown error has occurred.\n");
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(read_account("gina"));  // removed before the second try
}

TEST_F(SetCommandTest, GroupTableRows) {
  const struct {
    const char* group;
    DWORD fault;
    const char* reply;
  } rows[] = {
      {"NoSuchGroup", 0, "-ERR Group NoSuchGroup does not exist.\n"},
      {"Guests", 1378, "-ERR User was already a member of group Guests.\n"},
      {"Guests", 1388, "-ERR User account is invalid.\n"},
      {"Guests", 2220, "-ERR Group Guests does not exist.\n"},
      {"Guests", 4321, "-ERR 4321:Unknown group error.\n"},
  };
  int n = 0;
  for (const auto& row : rows) {
    settings().group = row.group;
    if (row.fault) platform_inject_fault("NetLocalGroupAddMembers", row.fault);
    const std::string user = "member" + std::to_string(n++);
    int result = 1;
    EXPECT_EQ(run(add_account, {"set", user, "pw"}, &result), row.reply) << row.fault;
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(read_account(user.c_str())) << "the account stays after " << row.fault;
  }
  settings().group.reset();  // no group configured: no join at all
  platform_inject_fault("NetLocalGroupAddMembers", 4321);
  int result = 0;
  EXPECT_EQ(run(add_account, {"set", "loner", "pw"}, &result), "+OK loner added to database.\n");
  EXPECT_EQ(result, 1);
}

TEST_F(SetCommandTest, NullPasswordUpdatesAnExistingAccount) {
  ASSERT_EQ(make_account("hank", "keep-me", "old comment", nullptr, "old.cmd"), NERR_Success);
  int result = 0;
  EXPECT_EQ(run(add_account, {"set", "hank", "(NULL)", "comment=new comment"}, &result),
            "+OK User hank added to database.\n");
  EXPECT_EQ(result, 1);
  UserRecord r = read_account("hank");
  ASSERT_TRUE(r);
  EXPECT_EQ(narrow(r->usri1_comment), "new comment");
  EXPECT_EQ(narrow(r->usri1_script_path), "old.cmd");
  EXPECT_TRUE(logon("hank", "keep-me"));
  EXPECT_NE(log_text().find("INFO Performing update"), std::string::npos);
}

TEST_F(SetCommandTest, UpdateWithoutAttributeWordsOnlyFillsDefaults) {
  ASSERT_EQ(make_account("ivy", "pw", nullptr, nullptr, "s.cmd"), NERR_Success);
  int result = 0;
  EXPECT_EQ(run(add_account, {"set", "ivy", "(NULL)"}, &result),
            "+OK User ivy added to database.\n");
  UserRecord r = read_account("ivy");
  ASSERT_TRUE(r);
  EXPECT_EQ(narrow(r->usri1_comment), "Ostrel 1.0g user");
  EXPECT_EQ(narrow(r->usri1_script_path), "s.cmd");
  EXPECT_EQ(narrow(r->usri1_home_dir), "(absent)");
  EXPECT_TRUE(logon("ivy", "pw"));
}

TEST_F(SetCommandTest, NullPasswordForUnreadableAccountCreatesNothing) {
  const struct {
    DWORD fault;
    const char* reply;
  } rows[] = {
      {0, "-ERR 2221:Unknown error occurred.\n"},
      {5, "-ERR The user does not have access to the requested information.\n"},
      {2351, "-ERR The computer name is invalid.\n"},
      {99, "-ERR 99:Unknown error occurred.\n"},
  };
  for (const auto& row : rows) {
    if (row.fault) platform_inject_fault("NetUserGetInfo", row.fault);
    int result = 1;
    EXPECT_EQ(run(add_account, {"set", "ghost", "(NULL)"}, &result), row.reply) << row.fault;
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(read_account("ghost"));
  }
}

TEST_F(SetCommandTest, AccountExistsProbe) {
  ASSERT_EQ(make_account("jill", "pw"), NERR_Success);
  int found = 0;
  testing::internal::CaptureStdout();
  found = account_exists("jill", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(found, 1);
  EXPECT_NE(log_text().find("DEBUG Does user (jill) exist"), std::string::npos);
  EXPECT_EQ(account_exists(nullptr, nullptr), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(account_exists("nobody", nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "-ERR 2221:Unknown error occurred.\n");
  clear_negative_sent();
}

TEST_F(SetCommandTest, UpdateReadTableRows) {
  ASSERT_EQ(make_account("kate", "pw"), NERR_Success);
  const struct {
    const char* user;
    DWORD fault;
    const char* reply;
  } rows[] = {
      {"nobody", 0, "-ERR User account not found.\n"},
      {"kate", 5, "-ERR The user does not have access to the requested information.\n"},
      {"kate", 2221, "-ERR User account not found.\n"},
      {"kate", 2351, "-ERR The computer name is invalid.\n"},
      {"kate", 31, "-ERR 31:Unknown error has occurred.\n"},
  };
  for (const auto& row : rows) {
    if (row.fault) platform_inject_fault("NetUserGetInfo", row.fault);
    int result = 1;
    EXPECT_EQ(run(update_account, {"set", row.user, "(NULL)"}, &result), row.reply) << row.fault;
    EXPECT_EQ(result, 0);
  }
  int result = 0;
  EXPECT_EQ(run(update_account, {"set"}, &result), "");
  EXPECT_EQ(result, -1);
}

TEST_F(SetCommandTest, UpdateWriteTableRows) {
  ASSERT_EQ(make_account("liam", "pw", "before"), NERR_Success);
  const struct {
    DWORD code;
    DWORD parm;
    const char* reply;
  } rows[] = {
      {5, 0, "-ERR The user does not have access to the requested information.\n"},
      {87, 6, "-ERR Comment invlaid.\n"},
      {87, 8, "-ERR Script path invalid.\n"},
      {87, 12, "-ERR Parameter 12 is in error.\n"},
      {2203, 0, "-ERR The share name or password is invalid.\n"},
      {2221, 0, "-ERR User account not found.\n"},
      {2226, 0,
       "-ERR The operation is allowed only on the primary domain controller of the domain.\n"},
      {2234, 0,
       "-ERR This operation is not allowed while you are a member or your current group.\n"},
      {2245, 0, "-ERR The password is shorter than required.\n"},
      {2351, 0, "-ERR The computer name is invalid.\n"},
      {2452, 0, "-ERR This operation is not allowed on the last administrative account.\n"},
      {3000, 0, "-ERR 3000:Unknown error has occurred.\n"},
  };
  for (const auto& row : rows) {
    platform_inject_fault("NetUserSetInfo", row.code, row.parm);
    int result = 1;
    EXPECT_EQ(run(add_account, {"set", "liam", "(NULL)", "comment=after"}, &result), row.reply)
        << row.code;
    EXPECT_EQ(result, 0);
  }
  UserRecord r = read_account("liam");
  ASSERT_TRUE(r);
  EXPECT_EQ(narrow(r->usri1_comment), "before");
}

}  // namespace
