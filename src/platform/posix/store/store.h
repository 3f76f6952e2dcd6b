// The account store: one SQLite file, opened on first use and kept open for the process
// (reopened by name when its files were moved or removed meanwhile), with its statements
// prepared once. Every platform call that reaches it holds the store lock and runs as one
// transaction. A change is folded from the write-ahead log into the file itself before it
// is answered, and the store is closed when the process ends.
//
// Result codes of the store, as the account calls return them:
//   ERROR_ACCESS_DENIED (5)   no file named
//   ERROR_BAD_CONFIGURATION (1610)  the file or one beside it could have been planted or
//                             changed by another user (a symbolic link, another owner,
//                             writable by group or others), or a reader found no store
//   ERROR_OPEN_FAILED (110)   it cannot be opened (permissions, no such directory, not a
//                             file, the log beside it cannot be made)
//   ERROR_WRITE_PROTECT (19)  its file system is read-only
//   ERROR_IO_DEVICE (1117)    an I/O error
//   ERROR_FILE_INVALID (1006) its file or log was moved, replaced or removed under the
//                             process: the change is not acknowledged
//   ERROR_BUSY (170)          another process kept the store locked past the busy timeout
//   ERROR_NOT_ENOUGH_MEMORY (8), ERROR_DISK_FULL (112)
//   ERROR_FILE_CORRUPT (1392) the file is not an account store, of a newer layout, or
//                             holds something whose tables cannot be read (a damaged log)
//   NERR_InternalError (2140) any other failure of the database
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string_view>

#include "platform/platform.h"

namespace ostrel_posix {

inline constexpr int kBusyTimeoutMs = 5000;
// 1: accounts and groups; 2: the view mail_accounts for mail servers; 3: the counts of
// wrong passwords that lock an account; 4: the counts per source of logins, and the
// account's recent wrong passwords; 5: the former password hashes of each account.
inline constexpr int kSchemaVersion = 5;

enum Sql : int {
  kBeginRead,
  kBeginWrite,
  kCommit,
  kRollback,
  kAccountCount,
  kAccountExists,
  kGetAccount,
  kGetAccountLocks,
  kInsertAccount,
  kUpdateAccount,
  kDeleteAccount,
  kLogonRead,
  kRehash,
  kEnumPage,
  kEnumPageLocks,
  kGroupExists,
  kAddMember,
  kTallyWrite,
  kTallyClear,
  kUnknownRefused,
  kSourceTallyRead,
  kSourceTallyWrite,
  kSourceTallyClear,
  kSourceTallyExpire,
  kSourceTalliesClear,
  kRecentWrongRead,
  kRecentWrongClear,
  kRecentWrongAdd,
  kCurrentHash,
  kHistoryRead,
  kHistoryAdd,
  kHistoryTrim,
  kHistoryClear,
  kSqlCount
};

/// Serialises this process's calls: they share one connection and its statements.
std::unique_lock<std::mutex> lock_store();

/// What a call does with the store. Before a call that writes or checks a password, the
/// open files are always compared with those the store's name leads to (a logon costs a
/// password hash, so a store replaced a moment ago is seen at once); before one that only
/// reads, at most once a second.
enum class Access { kRead, kLogon, kWrite };

/// Opens the store unless it is open, and opens it again by name when its files were moved,
/// replaced or removed under the process (store lock held): 0 or a store result code.
DWORD open_store(Access access);

/// The result code for a failed SQLite call.
DWORD store_error(int sqlite_result);

/// The open store's connection (store lock held).
sqlite3* store_handle();

/// The number of rows the last write changed (store lock held).
int store_changes();

/// A prepared statement of the open store (store lock held), reset when the use ends.
struct Statement {
  sqlite3_stmt* stmt;
  explicit Statement(Sql which);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
};

/// How a committed change is settled: an account is folded into the store file at once; a
/// count of wrong passwords may wait in the log for the next fold (it is a burden on every
/// refusal, and one lost costs little).
enum class Settle { kFold, kLogOnly };

/// After a committed change (store lock held): folds the log into the store file when asked
/// (a fold that a reader holds up is no failure: the change is safe in the log), then checks
/// that the files written are still those the store's name leads to. 0, or
/// ERROR_FILE_INVALID when they were moved or removed: the change must not be acknowledged.
DWORD settle_change(Settle how);

/// One transaction: BEGIN (IMMEDIATE for writes, so a writer waits for the lock at the
/// start and never fails half-way); rolled back unless committed.
struct Transaction {
  DWORD status = 0;  // 0 when the transaction began, else why not
  bool active = false;
  explicit Transaction(bool write);
  ~Transaction();
  /// COMMIT, then settle_change(how): 0 or a store result code.
  DWORD commit(Settle how = Settle::kFold);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
};

/// True when the lock time in column of a row (NULL or 0: none) locks the account at now,
/// under the lockout policy.
bool store_row_locked(sqlite3_stmt* stmt, int column, std::int64_t now);

/// Binds a text that lives until the statement is reset.
inline int bind_text(sqlite3_stmt* stmt, int index, std::string_view text) {
  return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

/// Binds a text, or NULL when it is absent.
inline int bind_optional(sqlite3_stmt* stmt, int index, bool present, std::string_view text) {
  return present ? bind_text(stmt, index, text) : sqlite3_bind_null(stmt, index);
}

}  // namespace ostrel_posix
