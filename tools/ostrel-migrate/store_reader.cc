#include "store_reader.h"

#include <sqlite3.h>

#include <memory>

namespace migrate {
namespace {

// The layouts this reader knows (PRAGMA user_version of the store): 2 added a view, 3
// the counts of wrong passwords, 4 the counts per source of logins and the recent wrong
// passwords, 5 the former password hashes; the tables read here are the same in all.
constexpr int kOldestLayout = 1;
constexpr int kNewestLayout = 5;

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

Stmt prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) return Stmt();
  return Stmt(stmt);
}

std::string column_text(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return text == nullptr
             ? std::string()
             : std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

std::optional<std::string> optional_text(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return column_text(stmt, column);
}

bool fail(sqlite3* db, std::string* error) {
  *error = db == nullptr ? "out of memory" : sqlite3_errmsg(db);
  return false;
}

}  // namespace

bool read_store(const std::string& path, StoreContent* content, std::string* error) {
  sqlite3* raw = nullptr;
  // Read-only: the store is never created or changed here.
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) return fail(db.get(), error);
  sqlite3_busy_timeout(db.get(), 5000);
  if (sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail(db.get(), error);

  Stmt version = prepare(db.get(), "PRAGMA user_version");
  if (!version || sqlite3_step(version.get()) != SQLITE_ROW) return fail(db.get(), error);
  const int layout = sqlite3_column_int(version.get(), 0);
  if (layout < kOldestLayout || layout > kNewestLayout) {
    *error = "not an account store, or one of another layout";
    return false;
  }

  Stmt accounts = prepare(db.get(),
                          "SELECT name, password_hash, priv, flags, home_dir, comment, script_path"
                          " FROM accounts ORDER BY name_key");
  if (!accounts) return fail(db.get(), error);
  int step;
  while ((step = sqlite3_step(accounts.get())) == SQLITE_ROW) {
    StoredAccount account;
    account.name = column_text(accounts.get(), 0);
    account.hash = optional_text(accounts.get(), 1);
    account.priv = sqlite3_column_int64(accounts.get(), 2);
    account.flags = sqlite3_column_int64(accounts.get(), 3);
    account.home_dir = optional_text(accounts.get(), 4);
    account.comment = optional_text(accounts.get(), 5);
    account.script_path = optional_text(accounts.get(), 6);
    content->accounts.push_back(std::move(account));
  }
  if (step != SQLITE_DONE) return fail(db.get(), error);

  Stmt members = prepare(db.get(),
                         "SELECT g.name, a.name FROM group_members m"
                         " JOIN local_groups g ON g.name_key = m.group_key"
                         " JOIN accounts a ON a.name_key = m.account_key"
                         " ORDER BY m.group_key, m.account_key");
  if (!members) return fail(db.get(), error);
  while ((step = sqlite3_step(members.get())) == SQLITE_ROW) {
    content->memberships.push_back({column_text(members.get(), 0), column_text(members.get(), 1)});
  }
  if (step != SQLITE_DONE) return fail(db.get(), error);
  sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
  return true;
}

}  // namespace migrate
