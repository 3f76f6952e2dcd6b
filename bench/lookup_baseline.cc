// The floor for a lookup server: reads a line, writes and flushes one reply line, and
// appends and flushes as many log lines as an ostrel lookup writes at level INFO. With a
// store, it also does the same SQLite point lookup the account store does (one read
// transaction, a prepared statement on the name key); with "-" for the store, the reply
// is made up (the same shape and length) and nothing is looked up. With 0 log lines (an
// ostrel at log level ERROR) it writes no log line at all. lookup_rate_bench and
// store_scale_bench run it against ostrel.
//
// Usage: lookup_baseline DB|- LOG [LOG_LINES_PER_LOOKUP]
#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// "DD HH:MM:SS YYYY": the calendar time text from its ninth character, as the log has it.
void timestamp(char* out, size_t size) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(out, size, "%d %H:%M:%S %Y", &local);
}

void log_line(std::FILE* log, const char* level, const char* text) {
  static const int pid = static_cast<int>(getpid());
  char stamp[32];
  timestamp(stamp, sizeof stamp);
  std::fprintf(log, "%s:[%d]%s %s\n", stamp, pid, level, text);
  std::fflush(log);
}

const char* column_text(sqlite3_stmt* stmt, int column) {
  return reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lookup_baseline DB|- LOG [LOG_LINES_PER_LOOKUP]\n");
    return 2;
  }
  const int log_lines = argc > 3 ? std::atoi(argv[3]) : 5;
  std::FILE* log = std::fopen(argv[2], "a");
  if (!log) return 1;
  char line[512];
  char reply[1024];
  if (std::strcmp(argv[1], "-") == 0) {
    // Input and output only.
    while (std::fgets(line, sizeof line, stdin)) {
      line[std::strcspn(line, "\r\n")] = '\0';
      if (std::strcmp(line, "quit") == 0) {
        std::fputs("+OK\n", stdout);
        std::fflush(stdout);
        if (log_lines > 0) log_line(log, "INFO", "+OK");
        break;
      }
      const char* name = std::strchr(line, ' ');
      name = name ? name + 1 : "";
      for (int i = 0; i + 1 < log_lines; ++i) log_line(log, "INFO", "Performing lookup");
      std::snprintf(reply, sizeof reply,
                    "+OK %s config 0 home=\"/srv/mail/%s\" comment=\"Ostrel 1.0g user\"", name,
                    name);
      std::fprintf(stdout, "%s\n", reply);
      std::fflush(stdout);
      if (log_lines > 0) log_line(log, "INFO", reply);
    }
    std::fclose(log);
    return 0;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 1;
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* commit = nullptr;
  sqlite3_stmt* get = nullptr;
  sqlite3_prepare_v2(db, "BEGIN", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  if (sqlite3_prepare_v2(db,
                         "SELECT name, password_set, priv, home_dir, comment, flags, script_path"
                         " FROM accounts WHERE name_key = ?1",
                         -1, &get, nullptr) != SQLITE_OK) {
    return 1;
  }
  while (std::fgets(line, sizeof line, stdin)) {
    line[std::strcspn(line, "\r\n")] = '\0';
    if (std::strcmp(line, "quit") == 0) {
      std::fputs("+OK\n", stdout);
      std::fflush(stdout);
      if (log_lines > 0) log_line(log, "INFO", "+OK");
      break;
    }
    const char* name = std::strchr(line, ' ');
    name = name ? name + 1 : "";
    std::string key(name);
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    for (int i = 0; i + 1 < log_lines; ++i) log_line(log, "INFO", "Performing lookup");
    sqlite3_step(begin);
    sqlite3_reset(begin);
    sqlite3_bind_text(get, 1, key.c_str(), static_cast<int>(key.size()), SQLITE_STATIC);
    if (sqlite3_step(get) == SQLITE_ROW) {
      const char* home = column_text(get, 3);
      const char* comment = column_text(get, 4);
      std::snprintf(reply, sizeof reply, "+OK %s config 0 home=\"%s\" comment=\"%s\"", name,
                    home ? home : "", comment ? comment : "");
    } else {
      std::snprintf(reply, sizeof reply, "-ERR User %s not found.", name);
    }
    sqlite3_reset(get);
    sqlite3_step(commit);
    sqlite3_reset(commit);
    std::fprintf(stdout, "%s\n", reply);
    std::fflush(stdout);
    if (log_lines > 0) log_line(log, "INFO", reply);
  }
  std::fclose(log);
  sqlite3_finalize(begin);
  sqlite3_finalize(commit);
  sqlite3_finalize(get);
  sqlite3_close(db);
  return 0;
}
