/* The floor for "search": one scan of the accounts table in name order with SQLite's own
 * interface, the pattern matched with its glob, and for each account listed the same
 * reply line and log line as ostrel writes, each flushed; then the count.
 * Run by search_scan_bench.
 * Usage: search_baseline DB LOG PATTERN */
#include <sqlite3.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static int pid;

static void log_line(FILE* log, const char* text) {
  char stamp[32];
  const time_t now = time(NULL);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%d %H:%M:%S %Y", &local);
  fprintf(log, "%s:[%d]INFO %s", stamp, pid, text);
  fflush(log);
}

static const char* column(sqlite3_stmt* stmt, int i) {
  return (const char*)sqlite3_column_text(stmt, i);
}

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  pid = (int)getpid();
  sqlite3* db = NULL;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK) return 1;
  sqlite3_busy_timeout(db, 5000);
  FILE* log = fopen(argv[2], "a");
  if (log == NULL) return 1;
  sqlite3_stmt* scan = NULL;
  if (sqlite3_prepare_v2(db,
                         "SELECT name, home_dir, comment, script_path FROM accounts"
                         " ORDER BY name_key",
                         -1, &scan, NULL) != SQLITE_OK)
    return 1;
  char line[1024];
  long listed = 0;
  while (sqlite3_step(scan) == SQLITE_ROW) {
    const char* name = column(scan, 0);
    if (sqlite3_strglob(argv[3], name) != 0) continue;
    int used = snprintf(line, sizeof line, "+DATA %s", name);
    static const char* const kFields[] = {"", "home", "comment", "script"};
    for (int i = 1; i <= 3 && used < (int)sizeof line; ++i) {
      const char* value = column(scan, i);
      if (value != NULL)
        used += snprintf(line + used, sizeof line - used, " %s=\"%s\"", kFields[i], value);
    }
    if (used < (int)sizeof line - 1) {
      line[used] = '\n';
      line[used + 1] = '\0';
    }
    fputs(line, stdout);
    fflush(stdout);
    log_line(log, line);
    ++listed;
  }
  sqlite3_finalize(scan);
  snprintf(line, sizeof line, "+OK %ld %s found.\n", listed, listed == 1 ? "entry" : "entries");
  fputs(line, stdout);
  fflush(stdout);
  log_line(log, line);
  fclose(log);
  sqlite3_close(db);
  return 0;
}
