#include "store_contents.h"

#include <sqlite3.h>

StoreContents read_store(const std::filesystem::path& db_path) {
  StoreContents contents;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return contents;
  }
  auto each_row = [db](const char* sql, auto&& take) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) return;
    while (sqlite3_step(stmt) == SQLITE_ROW) take(stmt);
    sqlite3_finalize(stmt);
  };
  auto text = [](sqlite3_stmt* stmt, int column) {
    const unsigned char* value = sqlite3_column_text(stmt, column);
    return value == nullptr ? std::string("(null)")
                            : std::string(reinterpret_cast<const char*>(value));
  };
  each_row("PRAGMA integrity_check", [&](sqlite3_stmt* s) { contents.integrity += text(s, 0); });
  each_row("PRAGMA foreign_key_check",
           [&](sqlite3_stmt* s) { contents.foreign_key_problems.push_back(text(s, 0)); });
  each_row("SELECT n FROM account_count",
           [&](sqlite3_stmt* s) { contents.counted = sqlite3_column_int64(s, 0); });
  each_row("SELECT name FROM accounts",
           [&](sqlite3_stmt* s) { contents.names.insert(lower(text(s, 0))); });
  each_row(
      "SELECT a.name FROM group_members m JOIN accounts a ON a.name_key = m.account_key"
      " WHERE m.group_key = 'GUESTS'",
      [&](sqlite3_stmt* s) { contents.guests.insert(lower(text(s, 0))); });
  sqlite3_close(db);
  return contents;
}
