#include <set>
#include <string>

#include "accounts/store_fixture_test.h"

namespace {

class SearchTest : public StoreTest {
 protected:
  void make_accounts() {
    ASSERT_EQ(make_account("Adam", nullptr), NERR_Success);
    ASSERT_EQ(make_account("albert", nullptr, "Ostrel 1.0g user"), NERR_Success);
    ASSERT_EQ(make_account("alice", nullptr, "mail user", "/srv/mail/alice", "a.cmd"),
              NERR_Success);
    ASSERT_EQ(make_account("b", nullptr, nullptr, nullptr, "b.cmd"), NERR_Success);
    ASSERT_EQ(make_account("bo", nullptr), NERR_Success);
  }
};

TEST_F(SearchTest, PatternsListMatchingAccountsWithCount) {
  make_accounts();
  const struct {
    const char* pattern;
    const char* output;
  } rows[] = {
      {"*",
       "+DATA Adam\n"
       "+DATA albert comment=\"Ostrel 1.0g user\"\n"
       "+DATA alice home=\"/srv/mail/alice\" comment=\"mail user\" script=\"a.cmd\"\n"
       "+DATA b script=\"b.cmd\"\n"
       "+DATA bo\n"
       "+OK 5 entries found.\n"},
      {"a*",
       "+DATA albert comment=\"Ostrel 1.0g user\"\n"
       "+DATA alice home=\"/srv/mail/alice\" comment=\"mail user\" script=\"a.cmd\"\n"
       "+OK 2 entries found.\n"},
      {"?", "+DATA b script=\"b.cmd\"\n+OK 1 entry found.\n"},
      {"??*",
       "+DATA Adam\n"
       "+DATA albert comment=\"Ostrel 1.0g user\"\n"
       "+DATA alice home=\"/srv/mail/alice\" comment=\"mail user\" script=\"a.cmd\"\n"
       "+DATA bo\n"
       "+OK 4 entries found.\n"},
      {"[A-Z]*", "+DATA Adam\n+OK 1 entry found.\n"},
      {"", "+OK 0 entries found.\n"},
      {"zz*", "+OK 0 entries found.\n"},
  };
  for (const auto& row : rows) {
    int result = 0;
    EXPECT_EQ(run(search_accounts, {"search", row.pattern, "ignored"}, &result), row.output)
        << row.pattern;
    EXPECT_EQ(result, 1);
  }
  EXPECT_NE(log_text().find("INFO Performing search"), std::string::npos);
}

TEST_F(SearchTest, EnumerationTableRows) {
  make_accounts();
  const struct {
    DWORD code;
    const char* reply;
  } rows[] = {
      {5, "-ERR The user does not have access to the requested information.\n"},
      {123, "-ERR The computer name is invalid.\n"},
      {2351, "-ERR The computer name is invalid.\n"},
      {53, "-ERR 53:Unknown error occurred.\n"},
      {234, "-ERR 234:Unknown error occurred.\n"},  // more promised, nothing given
  };
  for (const auto& row : rows) {
    platform_inject_fault("NetUserEnum", row.code);
    int result = 1;
    EXPECT_EQ(run(search_accounts, {"search", "*"}, &result), row.reply) << row.code;
    EXPECT_EQ(result, 0);
  }
}

TEST_F(SearchTest, ManyAccountsAreListedAcrossBatchesExactlyOnce) {
  constexpr int kAccounts = 300;  // far more than one 3200-byte answer holds
  for (int i = 0; i < kAccounts; ++i) {
    const std::string name = "user" + std::to_string(1000 + i);
    ASSERT_EQ(make_account(name.c_str(), nullptr, "some comment text"), NERR_Success);
  }
  int result = 0;
  const std::string out = run(search_accounts, {"search", "*"}, &result);
  EXPECT_EQ(result, 1);
  std::set<std::string> seen;
  int lines = 0;
  size_t start = 0;
  std::string last;
  while (start < out.size()) {
    const size_t end = out.find('\n', start);
    last = out.substr(start, end - start);
    start = end + 1;
    if (last.rfind("+DATA ", 0) != 0) break;
    ++lines;
    seen.insert(last.substr(6, last.find(' ', 6) - 6));
  }
  EXPECT_EQ(lines, kAccounts);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kAccounts));
  EXPECT_EQ(last, "+OK 300 entries found.");
  EXPECT_EQ(start, out.size());

  // The count covers every batch, also for a pattern whose matches lie in late batches.
  EXPECT_EQ(run(search_accounts, {"search", "user12*"}, &result), [] {
    std::string expected;
    for (int i = 1200; i < 1300; ++i) {
      expected += "+DATA user" + std::to_string(i) + " comment=\"some comment text\"\n";
    }
    return expected + "+OK 100 entries found.\n";
  }());
}

TEST_F(SearchTest, AccountsThatCannotBeShownWholeDoNotEndTheListing) {
  // 200 three-byte characters fit the record's 511 units but not a 512-byte narrow text:
  // the account is listed without that field. A name that cannot be converted is skipped.
  std::string wide_comment;
  for (int i = 0; i < 200; ++i) wide_comment += "\xe2\x82\xac";
  ASSERT_EQ(make_account("anna", nullptr, "fine"), NERR_Success);
  ASSERT_EQ(make_account("bert", nullptr, wide_comment.c_str()), NERR_Success);
  ASSERT_EQ(make_account("cora", nullptr, "fine"), NERR_Success);
  settings().host = "localhost";  // no registry read to take the fault first
  platform_inject_fault("WideCharToMultiByte", ERROR_NO_UNICODE_TRANSLATION);
  int result = 0;
  EXPECT_EQ(run(search_accounts, {"search", "*"}, &result),
            "+DATA bert\n"
            "+DATA cora comment=\"fine\"\n"
            "+OK 2 entries found.\n");
  EXPECT_EQ(result, 1);
  const std::string log = log_text();
  EXPECT_NE(log.find("ERROR Account anna skipped in the listing: its name cannot be shown."),
            std::string::npos);
  EXPECT_NE(log.find("ERROR Account bert: comment left out of the reply, longer than 511 bytes."),
            std::string::npos);
}

}  // namespace
