/* The floor for "set": per input line "set NAME PASSWORD", one argon2id hash at the
 * program's default limits (2 passes, 19 MiB) and one INSERT in its own transaction, committed with
 * a sync of the write-ahead log (WAL mode, synchronous FULL), one reply line each. Run by
 * set_bench. Usage: set_baseline DB  (lines on standard input; "quit" ends) */
#include <sodium.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc < 2 || sodium_init() < 0) return 2;
  sqlite3* db = NULL;
  if (sqlite3_open(argv[1], &db) != SQLITE_OK) return 1;
  sqlite3_busy_timeout(db, 5000);
  if (sqlite3_exec(db,
                   "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;"
                   "CREATE TABLE IF NOT EXISTS accounts(name_key TEXT NOT NULL PRIMARY KEY,"
                   " name TEXT NOT NULL, password_hash TEXT) WITHOUT ROWID",
                   NULL, NULL, NULL) != SQLITE_OK)
    return 1;
  sqlite3_stmt* insert = NULL;
  if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO accounts VALUES(upper(?1), ?1, ?2)", -1,
                         &insert, NULL) != SQLITE_OK)
    return 1;
  char line[512];
  while (fgets(line, sizeof line, stdin) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    if (strcmp(line, "quit") == 0) break;
    char* name = strchr(line, ' ');
    char* password = name ? strchr(name + 1, ' ') : NULL;
    if (password == NULL) return 1;
    *password++ = '\0';
    ++name;
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password, strlen(password), 2, 19u * 1024u * 1024u,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
      return 1;
    sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL);
    sqlite3_bind_text(insert, 1, name, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, hash, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE || sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) != SQLITE_OK) return 1;
    printf("+OK %s added to database.\n", name);
    fflush(stdout);
  }
  fputs("+OK\n", stdout);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return 0;
}
