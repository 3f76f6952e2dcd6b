#include "platform/posix/store/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/sanitized_heap.h"
#include "platform/posix/common/trusted_files.h"
#include "platform/posix/store/sqlite_memory.h"

namespace ostrel_posix {
namespace {

// Accounts are keyed by their case-folded name (WITHOUT ROWID: the rows sit in name
// order, which makes name lookups and ordered scans cheap). An absent text is NULL and
// differs from an empty text. The account count is kept by triggers, so that an
// enumeration page can report the total without counting the table.
constexpr const char* kSchema = R"(
CREATE TABLE accounts(
  name_key TEXT NOT NULL PRIMARY KEY,
  name TEXT NOT NULL,
  password_hash TEXT,
  password_set INTEGER NOT NULL,
  priv INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  home_dir TEXT,
  comment TEXT,
  script_path TEXT,
  created INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE local_groups(
  name_key TEXT NOT NULL PRIMARY KEY,
  name TEXT NOT NULL
) WITHOUT ROWID;
CREATE TABLE group_members(
  group_key TEXT NOT NULL REFERENCES local_groups(name_key) ON DELETE CASCADE,
  account_key TEXT NOT NULL REFERENCES accounts(name_key) ON DELETE CASCADE,
  PRIMARY KEY(group_key, account_key)
) WITHOUT ROWID;
CREATE INDEX group_members_by_account ON group_members(account_key);
CREATE TABLE account_count(id INTEGER PRIMARY KEY CHECK(id = 1), n INTEGER NOT NULL);
INSERT INTO account_count VALUES(1, 0);
CREATE TRIGGER account_added AFTER INSERT ON accounts
  BEGIN UPDATE account_count SET n = n + 1 WHERE id = 1; END;
CREATE TRIGGER account_removed AFTER DELETE ON accounts
  BEGIN UPDATE account_count SET n = n - 1 WHERE id = 1; END;
INSERT INTO local_groups VALUES
  ('ADMINISTRATORS', 'Administrators'), ('USERS', 'Users'), ('GUESTS', 'Guests');
)";

// What mail servers read (their sql drivers open the file themselves): one row per
// account with its name as given, its case-folded key, the argon2id hash (NULL when it
// has none), the home directory and whether it is disabled (UF_ACCOUNTDISABLE). Its
// name and columns are kept in every later layout.
constexpr const char* kMailView = R"(
CREATE VIEW mail_accounts(login, login_key, password_hash, home, disabled) AS
  SELECT name, name_key, password_hash, home_dir, (flags & 2) != 0 FROM accounts;
)";

// The wrong passwords counted against each account while the lockout policy is on: how
// many in the current run, when the last came and when the account locked (0: not
// locked). A row goes with its account. Refused logons of names without an account are
// counted too, in one row, so that they cost a write as a known name's do.
constexpr const char* kLogonTallies = R"(
CREATE TABLE logon_tallies(
  name_key TEXT NOT NULL PRIMARY KEY REFERENCES accounts(name_key) ON DELETE CASCADE,
  bad_count INTEGER NOT NULL,
  last_bad INTEGER NOT NULL,
  locked_since INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE refused_unknown(id INTEGER PRIMARY KEY CHECK(id = 1), n INTEGER NOT NULL);
INSERT INTO refused_unknown VALUES(1, 0);
)";

// The wrong passwords of each source of logins (a client's address) against an account,
// and the account's last few wrong passwords, kept as their hash with the account's own
// salt and parameters, so that a device retrying a stale password counts once. Rows go
// with their account, and with the window.
constexpr const char* kSourceTallies = R"(
CREATE TABLE source_tallies(
  name_key TEXT NOT NULL REFERENCES accounts(name_key) ON DELETE CASCADE,
  source TEXT NOT NULL,
  bad_count INTEGER NOT NULL,
  last_bad INTEGER NOT NULL,
  locked_since INTEGER NOT NULL,
  PRIMARY KEY(name_key, source)
) WITHOUT ROWID;
CREATE TABLE recent_wrong(
  name_key TEXT NOT NULL REFERENCES accounts(name_key) ON DELETE CASCADE,
  attempt_key BLOB NOT NULL,
  at INTEGER NOT NULL,
  PRIMARY KEY(name_key, attempt_key)
) WITHOUT ROWID;
)";

// The former password hashes of each account (argon2id, as the account's own), numbered
// from the oldest, kept while the password policy remembers passwords. They are not tied to
// the account row, which a set with a new password replaces: they go when the account is
// deleted.
constexpr const char* kPasswordHistory = R"(
CREATE TABLE password_history(
  name_key TEXT NOT NULL,
  changed INTEGER NOT NULL,
  password_hash TEXT NOT NULL,
  PRIMARY KEY(name_key, changed)
) WITHOUT ROWID;
)";

// Step i brings a store of layout i to layout i + 1; a new file takes them all.
constexpr std::array<const char*, kSchemaVersion> kLayoutSteps = {kSchema, kMailView, kLogonTallies,
                                                                  kSourceTallies, kPasswordHistory};

// Columns 0..6 of a read by name and 1..7 of a page are read by add_user_row. A page
// carries the account count in column 8, so that one statement (one implicit transaction)
// gives the page and the total. The statements that serve the lockout policy have one
// column more, the time the account locked (NULL or 0: not locked); without the policy
// the ones without it are used, so that neither costs more then.
#define OSTREL_ACCOUNT_COLUMNS "name, password_set, priv, home_dir, comment, flags, script_path"
#define OSTREL_LOCKED_SINCE \
  ", (SELECT locked_since FROM logon_tallies t WHERE t.name_key = accounts.name_key)"
#define OSTREL_PAGE_COLUMNS \
  "SELECT name_key, " OSTREL_ACCOUNT_COLUMNS ", (SELECT n FROM account_count WHERE id = 1)"
#define OSTREL_PAGE_ROWS \
  " FROM accounts WHERE name_key > ?1 AND (?2 = 0 OR (flags & ?2) != 0) ORDER BY name_key"
constexpr std::array<const char*, kSqlCount> kStatements = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT n FROM account_count WHERE id = 1",
    "SELECT 1 FROM accounts WHERE name_key = ?1",
    "SELECT " OSTREL_ACCOUNT_COLUMNS " FROM accounts WHERE name_key = ?1",
    "SELECT " OSTREL_ACCOUNT_COLUMNS OSTREL_LOCKED_SINCE " FROM accounts WHERE name_key = ?1",
    "INSERT INTO accounts(name_key, name, password_hash, password_set, priv, flags, home_dir,"
    " comment, script_path, created) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?4)",
    "UPDATE accounts SET priv = ?2, flags = ?3, home_dir = ?4, comment = ?5, script_path = ?6,"
    " password_hash = CASE WHEN ?7 THEN ?8 ELSE password_hash END,"
    " password_set = CASE WHEN ?7 THEN ?9 ELSE password_set END WHERE name_key = ?1",
    "DELETE FROM accounts WHERE name_key = ?1",
    "SELECT a.password_hash, a.flags, t.bad_count, t.last_bad, t.locked_since"
    " FROM accounts a LEFT JOIN logon_tallies t ON t.name_key = a.name_key"
    " WHERE a.name_key = ?1",
    "UPDATE accounts SET password_hash = ?3 WHERE name_key = ?1 AND password_hash = ?2",
    OSTREL_PAGE_COLUMNS OSTREL_PAGE_ROWS,
    OSTREL_PAGE_COLUMNS OSTREL_LOCKED_SINCE OSTREL_PAGE_ROWS,
    "SELECT 1 FROM local_groups WHERE name_key = ?1",
    "INSERT OR IGNORE INTO group_members(group_key, account_key) VALUES(?1, ?2)",
    "INSERT INTO logon_tallies VALUES(?1, ?2, ?3, ?4) ON CONFLICT(name_key)"
    " DO UPDATE SET bad_count = ?2, last_bad = ?3, locked_since = ?4",
    "DELETE FROM logon_tallies WHERE name_key = ?1",
    "UPDATE refused_unknown SET n = n + 1 WHERE id = 1",
    "SELECT bad_count, last_bad, locked_since FROM source_tallies"
    " WHERE name_key = ?1 AND source = ?2",
    "INSERT INTO source_tallies VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(name_key, source)"
    " DO UPDATE SET bad_count = ?3, last_bad = ?4, locked_since = ?5",
    "DELETE FROM source_tallies WHERE name_key = ?1 AND source = ?2",
    "DELETE FROM source_tallies WHERE name_key = ?1 AND locked_since = 0 AND last_bad <= ?2",
    "DELETE FROM source_tallies WHERE name_key = ?1",
    "SELECT attempt_key, at FROM recent_wrong WHERE name_key = ?1",
    "DELETE FROM recent_wrong WHERE name_key = ?1",
    "INSERT INTO recent_wrong VALUES(?1, ?2, ?3)",
    "SELECT password_hash FROM accounts WHERE name_key = ?1",
    "SELECT password_hash FROM password_history WHERE name_key = ?1 ORDER BY changed DESC"
    " LIMIT ?2",
    "INSERT INTO password_history SELECT ?1, coalesce(max(changed), 0) + 1, ?2"
    " FROM password_history WHERE name_key = ?1",
    "DELETE FROM password_history WHERE name_key = ?1 AND changed <="
    " (SELECT max(changed) FROM password_history WHERE name_key = ?1) - ?2",
    "DELETE FROM password_history WHERE name_key = ?1",
};
#undef OSTREL_ACCOUNT_COLUMNS
#undef OSTREL_LOCKED_SINCE
#undef OSTREL_PAGE_COLUMNS
#undef OSTREL_PAGE_ROWS

struct StoreState {
  std::string path;  // as named; a relative path is taken from the directory of first use
  sqlite3* db = nullptr;
  std::array<sqlite3_stmt*, kSqlCount> statements{};
  // The write-ahead log the connection holds open: its full name and identity.
  std::string log_path;
  dev_t log_device = 0;
  ino_t log_inode = 0;
  bool close_at_exit = false;         // the store is closed when the process ends
  bool reader = false;                // never creates or sets up a store
  std::int64_t files_checked_ms = 0;  // on the coarse monotonic clock
};

std::mutex store_mutex;
StoreState state;

// True when the store file or its log, as the store's name finds them now, are not the
// ones the open connection writes: moved, replaced or removed under the process.
bool files_moved() {
  int moved = 0;
  if (sqlite3_file_control(state.db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK ||
      moved != 0)
    return true;
  struct stat status {};
  if (stat(state.log_path.c_str(), &status) != 0) return true;
  return status.st_dev != state.log_device || status.st_ino != state.log_inode;
}

// Milliseconds on the coarse monotonic clock: a few milliseconds of resolution are plenty
// for a one-second interval, and it is read for less than the precise one.
std::int64_t coarse_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// True when the open files are to be compared with those the name leads to now: before
// every write, and before a read when a second has passed since the last look (a look costs
// two file status calls, a good part of a lookup).
bool files_check_due(Access access) {
  const std::int64_t now = coarse_ms();
  if (access == Access::kRead && now - state.files_checked_ms < 1000) return false;
  state.files_checked_ms = now;
  return true;
}

// Closes the connection. A connection that is the last on the store folds the log into
// the file and removes it by name; that is done only when its files are still the named
// ones and keep_files is not set: a damaged or replaced log is never removed.
void close_connection(bool keep_files) {
  for (sqlite3_stmt*& stmt : state.statements) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  if (state.db == nullptr) return;
  if (keep_files || state.log_path.empty() || files_moved()) {
    int persist = 1;
    sqlite3_file_control(state.db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  } else {
    // Other processes may keep the log open: fold it in now all the same.
    sqlite3_wal_checkpoint_v2(state.db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  sqlite3_close_v2(state.db);
  state.db = nullptr;
  state.log_path.clear();
}

// Every way out of the process (the end of input, quit, a command line, exit) closes the
// store, unless a call holds it: a process ended in the middle of a call leaves the log to
// the next one, as a crash does.
void close_store_at_exit() {
  std::unique_lock<std::mutex> lock(store_mutex, std::try_to_lock);
  if (lock.owns_lock()) close_connection(false);
}

// Closes a connection that did not finish opening, leaving its files as they were.
struct OpeningGuard {
  bool done = false;
  ~OpeningGuard() {
    if (!done) close_connection(true);
  }
};

int journal_mode_result(void* mode, int columns, char** values, char**) {
  if (columns > 0 && values[0] != nullptr) *static_cast<std::string*>(mode) = values[0];
  return 0;
}

// The number a pragma reads as, or -1 when it cannot be read (rc says why).
sqlite3_int64 read_pragma_number(sqlite3* db, const char* pragma, int& rc) {
  sqlite3_stmt* stmt = nullptr;
  rc = sqlite3_prepare_v2(db, pragma, -1, &stmt, nullptr);
  sqlite3_int64 number = -1;
  if (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    number = sqlite3_column_int64(stmt, 0);
    rc = SQLITE_OK;
  }
  sqlite3_finalize(stmt);
  return number;
}

// The layout version of the store: 0 for a new file, -1 with rc set when it cannot be read.
int read_schema_version(sqlite3* db, int& rc) {
  return static_cast<int>(read_pragma_number(db, "PRAGMA user_version", rc));
}

// Brings the store from layout `from` to the current one (write lock held).
DWORD apply_layout_steps(sqlite3* db, int from) {
  for (int step = from; step < kSchemaVersion; ++step) {
    if (const int rc = sqlite3_exec(db, kLayoutSteps[step], nullptr, nullptr, nullptr);
        rc != SQLITE_OK)
      return store_error(rc);
  }
  const std::string version = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  const int rc = sqlite3_exec(db, version.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? 0 : store_error(rc);
}

// True when the database holds no page at all.
bool holds_no_pages(sqlite3* db) {
  int rc = SQLITE_OK;
  return read_pragma_number(db, "PRAGMA page_count", rc) == 0;
}

// True for a layout version this program cannot take: a newer one, or none (0) in a file
// that was not new when this process opened it. Such a file holds something whose tables
// cannot be read (a damaged log, another program's database): it is never set up anew.
bool unusable_layout(int version, bool fresh) {
  return version < 0 || version > kSchemaVersion || (version == 0 && !fresh);
}

// Creates the tables in a new store and upgrades one of an older layout; a store of the
// current layout is only read here, so a process can start while another one holds the
// write lock. A newer layout is refused, and so is a file without tables that was not new.
DWORD ensure_schema(sqlite3* db, bool fresh) {
  int rc = SQLITE_OK;
  int version = read_schema_version(db, rc);
  if (rc != SQLITE_OK) return store_error(rc);
  if (version == kSchemaVersion) return 0;
  // A process killed while it set up a new store leaves pages behind and the journal of a
  // file that held nothing; the library has just rolled that back: the file is new again.
  if (version == 0 && !fresh && holds_no_pages(db)) fresh = true;
  if (unusable_layout(version, fresh)) return ERROR_FILE_CORRUPT;

  // Change the layout under the write lock, unless another process has done it meanwhile.
  rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return store_error(rc);
  version = read_schema_version(db, rc);
  DWORD result = 0;
  if (rc != SQLITE_OK) {
    result = store_error(rc);
  } else if (unusable_layout(version, fresh)) {
    result = ERROR_FILE_CORRUPT;
  } else if (version < kSchemaVersion) {
    result = apply_layout_steps(db, version);
  }
  if (result == 0) {
    rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) result = store_error(rc);
  }
  if (result != 0 && sqlite3_get_autocommit(db) == 0)
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return result;
}

// The journal files the database library keeps beside the store: another user's file
// there would be read as part of the store. 0 or the misconfiguration code.
DWORD check_companions(const std::string& path) {
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    const std::string companion = path + suffix;
    if (const char* reason = untrusted_path_reason(companion.c_str()); reason != nullptr)
      return refuse_file(companion, reason);
  }
  return 0;
}

// Why the store file could not be opened, as a store result code.
DWORD open_error(const std::string& path, int error) {
  switch (error) {
    case ELOOP:
      return refuse_file(path, "a symbolic link");
    case ENOENT:
      // A store a reader must not create is missing: the settings name the wrong file.
      if (state.reader) return refuse_file(path, "no such file, and a reader never creates one");
      return ERROR_OPEN_FAILED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EIO:
      return ERROR_IO_DEVICE;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_OPEN_FAILED;
  }
}

// Opens or creates the store file itself, never through a symbolic link, and checks it
// and its journal files: 0, ERROR_BAD_CONFIGURATION when any of them must not be trusted
// (or a reader finds no store), or why the file cannot be opened. fresh tells a file that
// holds nothing (empty, no log with content beside it): only such a file gets the tables
// of a new store, and never from a reader. An empty file beside a log that holds
// something is refused as corrupt before the database library sees it, since the library
// would delete that log.
DWORD check_store_files(const std::string& path, bool& fresh) {
  const int create = state.reader ? 0 : O_CREAT;
  const int fd = open(path.c_str(), O_RDWR | create | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return open_error(path, errno);
  struct stat status {};
  const bool examined = fstat(fd, &status) == 0;
  close(fd);
  if (!examined) return ERROR_IO_DEVICE;
  if (const char* reason = untrusted_file_reason(status); reason != nullptr)
    return refuse_file(path, reason);
  if (const DWORD rc = check_companions(path); rc != 0) return rc;
  struct stat log_status {};
  const bool log_holds_data =
      stat((path + "-wal").c_str(), &log_status) == 0 && log_status.st_size > 0;
  if (status.st_size == 0 && log_holds_data) return ERROR_FILE_CORRUPT;
  fresh = status.st_size == 0;
  if (fresh && state.reader) return refuse_file(path, "empty, and a reader never sets up a store");
  return 0;
}

// Notes which write-ahead log the open connection holds, to tell later whether the file
// of that name is still the same one.
DWORD remember_log() {
  const char* file = sqlite3_db_filename(state.db, "main");
  const char* log_path = file != nullptr ? sqlite3_filename_wal(file) : nullptr;
  struct stat status {};
  if (log_path == nullptr || stat(log_path, &status) != 0) return ERROR_FILE_INVALID;
  state.log_path = log_path;
  state.log_device = status.st_dev;
  state.log_inode = status.st_ino;
  state.files_checked_ms = coarse_ms();
  return 0;
}

}  // namespace

std::unique_lock<std::mutex> lock_store() {
  return std::unique_lock<std::mutex>(store_mutex);
}

DWORD store_error(int sqlite_result) {
  switch (sqlite_result & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_READONLY:
      // The file was moved or removed since it was opened; else it cannot be written.
      return sqlite_result == SQLITE_READONLY_DBMOVED ? ERROR_FILE_INVALID : ERROR_WRITE_PROTECT;
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
      return ERROR_OPEN_FAILED;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_IOERR:
      return sqlite_result == SQLITE_IOERR_NOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_IO_DEVICE;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_FILE_CORRUPT;
    default:
      return NERR_InternalError;
  }
}

DWORD open_store(Access access) {
  if (state.db != nullptr) {
    if (!files_check_due(access) || !files_moved()) return 0;
    // Moved or removed under this process: from now on the files the name leads to.
    close_connection(true);
  }
  if (state.path.empty()) return ERROR_ACCESS_DENIED;
  // A name that reads like a URI is still a file name.
  const std::string path = state.path.rfind("file:", 0) == 0 ? "./" + state.path : state.path;
  // Create the file with owner-only access before the database library opens it; an
  // existing file keeps its mode. A file this process cannot write is refused here, and
  // so is one that another local user could have planted or changed.
  bool fresh = false;
  if (const DWORD result = check_store_files(path, fresh); result != 0) return result;

  OpeningGuard guard;
  // The store lock serialises every use of the connection.
  int rc = sqlite3_open_v2(
      path.c_str(), &state.db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE,
      nullptr);
  if (rc != SQLITE_OK) return state.db == nullptr ? ERROR_NOT_ENOUGH_MEMORY : store_error(rc);
  if (sqlite3_db_readonly(state.db, "main") != 0) return ERROR_WRITE_PROTECT;
  sqlite3_extended_result_codes(state.db, 1);
  sqlite3_busy_timeout(state.db, kBusyTimeoutMs);
  rc = sqlite3_exec(state.db, "PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON", nullptr,
                    nullptr, nullptr);
  if (rc != SQLITE_OK) return store_error(rc);
  // The tables of a new store are written by one transaction into the file itself, before
  // the log is turned on: a store file that holds anything holds its tables.
  if (const DWORD result = ensure_schema(state.db, fresh); result != 0) return result;

  std::string mode;
  rc = sqlite3_exec(state.db, "PRAGMA journal_mode = WAL", journal_mode_result, &mode, nullptr);
  if (rc != SQLITE_OK) return store_error(rc);
  if (mode != "wal") return ERROR_OPEN_FAILED;  // the log file beside it cannot be made
  // Reading again opens the log and shows the tables through it.
  const int version = read_schema_version(state.db, rc);
  if (rc != SQLITE_OK) return store_error(rc);
  if (version != kSchemaVersion) return ERROR_FILE_CORRUPT;
  // The files beside it now exist; none may have been slipped in meanwhile.
  if (const DWORD result = check_companions(path); result != 0) return result;
  if (const DWORD result = remember_log(); result != 0) return result;
  // What a process that ended without closing left in the log goes into the file now.
  sqlite3_wal_checkpoint_v2(state.db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);

  for (int i = 0; i < kSqlCount; ++i) {
    rc = sqlite3_prepare_v3(state.db, kStatements[i], -1, SQLITE_PREPARE_PERSISTENT,
                            &state.statements[i], nullptr);
    if (rc != SQLITE_OK) return store_error(rc);
  }
  guard.done = true;
  return 0;
}

sqlite3* store_handle() {
  return state.db;
}

int store_changes() {
  return state.db == nullptr ? 0 : sqlite3_changes(state.db);
}

Statement::Statement(Sql which) : stmt(state.statements[which]) {}

Statement::~Statement() {
  if (stmt != nullptr) sqlite3_reset(stmt);
}

Transaction::Transaction(bool write) {
  Statement begin(write ? kBeginWrite : kBeginRead);
  const int rc = sqlite3_step(begin.stmt);
  if (rc == SQLITE_DONE) {
    active = true;
  } else {
    status = store_error(rc);
  }
}

Transaction::~Transaction() {
  if (!active || state.db == nullptr || sqlite3_get_autocommit(state.db) != 0) return;
  Statement rollback(kRollback);
  sqlite3_step(rollback.stmt);
}

DWORD settle_change(Settle how) {
  if (how == Settle::kFold)
    sqlite3_wal_checkpoint_v2(state.db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  return files_moved() ? ERROR_FILE_INVALID : 0;
}

DWORD Transaction::commit(Settle how) {
  {
    Statement end(kCommit);
    const int rc = sqlite3_step(end.stmt);
    if (rc != SQLITE_DONE) return store_error(rc);
  }
  active = false;
  return settle_change(how);
}

}  // namespace ostrel_posix

namespace ostrel_posix {

void set_store_path(const std::string& path) {
  auto lock = lock_store();
  if (path != state.path) close_connection(false);
  state.path = path;
  if (!path.empty() && !state.close_at_exit)
    state.close_at_exit = std::atexit(close_store_at_exit) == 0;
}

}  // namespace ostrel_posix

void platform_set_store_reader(bool reader) {
  auto lock = ostrel_posix::lock_store();
  ostrel_posix::state.reader = reader;
}

void platform_close_store() {
  {
    auto lock = ostrel_posix::lock_store();
    ostrel_posix::close_connection(false);
  }
  ostrel_posix::close_directory();
}

void platform_start_single_threaded_program() {
  // SQLite then takes none of its global locks (connections are opened without their own),
  // and keeps no memory statistics, whose counting takes a lock on every allocation and
  // release. Both only take effect before the library starts, which nothing has made it do
  // yet; were it started, they would be refused and change nothing.
  sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
#if !defined(OSTREL_SANITIZED_HEAP)
  // Small blocks are reused instead of going through the C library's allocator and the
  // wiping release for each read. A sanitizer keeps watching every block itself.
  sqlite3_config(SQLITE_CONFIG_MALLOC, &ostrel_posix::small_block_memory());
#endif
}
