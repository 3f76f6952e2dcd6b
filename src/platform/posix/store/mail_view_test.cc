#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <string>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

class MailViewTest : public StoreTest {
 protected:
  // Runs one statement on its own connection, as a mail server's driver does; the first
  // row's columns joined by '|' (NULL as "NULL"), or nullopt without a row.
  std::optional<std::string> query(const std::string& sql, const std::string& param = "") {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    std::optional<std::string> row;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
    } else {
      if (sqlite3_bind_parameter_count(stmt) > 0)
        sqlite3_bind_text(stmt, 1, param.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(stmt) == SQLITE_ROW) {
        row.emplace();
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
          *row += (i > 0 ? "|" : "") + std::string(text == nullptr ? "NULL" : text);
        }
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return row;
  }
};

constexpr const char* kLookup =
    "SELECT login, substr(password_hash, 1, 10), home, disabled FROM mail_accounts"
    " WHERE login_key = upper(?1)";

TEST_F(MailViewTest, FindsAccountsHoweverTheNameIsTyped) {
  Record alice = record("Alice.Smith@example.org", "Pa55word");
  alice.has_home_dir = true;
  alice.home_dir = u"/srv/mail/alice";
  ASSERT_EQ(add(alice), 0u);
  Record bob = record("bob", nullptr);
  bob.flags |= UF_ACCOUNTDISABLE;
  ASSERT_EQ(add(bob), 0u);

  struct Row {
    const char* typed;
    std::optional<std::string> found;
  };
  const std::string alice_row = "Alice.Smith@example.org|$argon2id$|/srv/mail/alice|0";
  const Row rows[] = {
      {"Alice.Smith@example.org", alice_row},
      {"alice.smith@example.org", alice_row},
      {"ALICE.SMITH@EXAMPLE.ORG", alice_row},
      {"BoB", "bob|NULL|NULL|1"},
      {"alice", std::nullopt},
      {"alice.smith@example.org' OR '1'='1", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.typed);
    EXPECT_EQ(query(kLookup, row.typed), row.found);
  }
}

TEST_F(MailViewTest, OlderStoreIsUpgradedNewerOneRefused) {
  ASSERT_EQ(add(record("carol")), 0u);
  platform_close_store();
  // The first layout: the same tables, no view and no counts of wrong passwords.
  query("DROP VIEW mail_accounts");
  query("DROP TABLE logon_tallies");
  query("DROP TABLE refused_unknown");
  query("DROP TABLE source_tallies");
  query("DROP TABLE recent_wrong");
  query("DROP TABLE password_history");
  ASSERT_EQ(query("SELECT count(*) FROM sqlite_schema WHERE name = 'mail_accounts'"), "0");
  ASSERT_EQ(query("PRAGMA user_version = 1"), std::nullopt);
  ASSERT_EQ(query("PRAGMA user_version"), "1");

  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"carol", 1, &buffer), 0u);
  NetApiBufferFree(buffer);
  EXPECT_EQ(query("PRAGMA user_version"), "5");
  EXPECT_EQ(query("SELECT login, disabled FROM mail_accounts"), "carol|0");
  EXPECT_EQ(query("SELECT count(*) FROM logon_tallies"), "0");
  EXPECT_EQ(query("SELECT count(*) FROM password_history"), "0");
  platform_close_store();

  ASSERT_EQ(query("PRAGMA user_version = 6"), std::nullopt);
  buffer = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, u"carol", 1, &buffer), ERROR_FILE_CORRUPT);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(query("PRAGMA user_version"), "6");  // left as it was
}

}  // namespace
}  // namespace ostrel_posix
