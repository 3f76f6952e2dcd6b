// Password logon against the store's argon2id hashes. Every refusal for a name or
// password costs one hash verification, whether the account exists or not, so the time
// taken does not tell which. While the lockout policy is on, every refusal also costs one
// write: a known account's count of wrong passwords, or the count of unknown names.
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/hashing.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/store/store.h"

namespace ostrel_posix {
namespace {

struct StoredLogon {
  bool has_hash = false;
  std::string hash;
  DWORD flags = 0;
  LogonTally tally;
};

// Reads a row of kLogonRead (store lock held).
void read_row(sqlite3_stmt* stmt, StoredLogon& stored) {
  stored.flags = static_cast<DWORD>(sqlite3_column_int64(stmt, 1));
  if (sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
    stored.has_hash = true;
    stored.hash.assign(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
  }
  // No tally row reads as NULL: nothing counted.
  stored.tally.bad_count = sqlite3_column_int64(stmt, 2);
  stored.tally.last_bad = sqlite3_column_int64(stmt, 3);
  stored.tally.locked_since = sqlite3_column_int64(stmt, 4);
}

// Reads the hash, flags and count of an account (store lock held, store open): 0 or a
// store result code; stored stays empty for a name without an account.
DWORD read_stored(const std::string& key, StoredLogon& stored) {
  Statement read(kLogonRead);
  bind_text(read.stmt, 1, key);
  const int rc = sqlite3_step(read.stmt);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return store_error(rc);
  read_row(read.stmt, stored);
  return 0;
}

DWORD read_logon(const std::string& key, StoredLogon& stored) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kLogon); rc != 0) return rc;
  return read_stored(key, stored);
}

// Lets a count commit without waiting for the disk (store lock held, store open): a count
// is a burden on every refusal, and one lost in a power cut costs little, unlike an
// account. The store's full sync comes back when this ends, after the transaction.
struct QuickCommits {
  QuickCommits() { set("PRAGMA synchronous = NORMAL"); }
  ~QuickCommits() { set("PRAGMA synchronous = FULL"); }
  static void set(const char* pragma) {
    sqlite3_exec(store_handle(), pragma, nullptr, nullptr, nullptr);
  }
};

DWORD step_done(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  return rc == SQLITE_DONE ? 0 : store_error(rc);
}

// Counts a refusal of a name without an account (or without a password).
DWORD count_unknown() {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  const QuickCommits quick;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  Statement count(kUnknownRefused);
  if (const DWORD rc = step_done(count.stmt); rc != 0) return rc;
  return transaction.commit(Settle::kLogOnly);
}

// Writes a tally that changed: cleared when nothing is left of it. bind puts the key
// (and source) first; write takes the three counts after them.
template <typename Bind>
DWORD keep_tally(const LogonTally& tally, const LogonTally& before, Sql write, Sql clear,
                 int counts_at, Bind bind) {
  if (tally == before) return 0;
  if (tally == LogonTally{}) {
    Statement gone(clear);
    bind(gone.stmt);
    return step_done(gone.stmt);
  }
  Statement kept(write);
  bind(kept.stmt);
  sqlite3_bind_int64(kept.stmt, counts_at, tally.bad_count);
  sqlite3_bind_int64(kept.stmt, counts_at + 1, tally.last_bad);
  sqlite3_bind_int64(kept.stmt, counts_at + 2, tally.locked_since);
  return step_done(kept.stmt);
}

// The count of source against the account (store lock held, in the transaction).
DWORD read_source_tally(const std::string& key, const std::string& source, LogonTally& tally) {
  Statement read(kSourceTallyRead);
  bind_text(read.stmt, 1, key);
  bind_text(read.stmt, 2, source);
  const int rc = sqlite3_step(read.stmt);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return store_error(rc);
  tally.bad_count = sqlite3_column_int64(read.stmt, 0);
  tally.last_bad = sqlite3_column_int64(read.stmt, 1);
  tally.locked_since = sqlite3_column_int64(read.stmt, 2);
  return 0;
}

// Whether attempt_key repeats one of the account's recent wrong passwords; the list is
// kept as it now stands (store lock held, in the transaction).
DWORD check_recent_wrong(const std::string& key, const std::string& attempt_key,
                         const LockoutPolicy& policy, bool& stale) {
  std::vector<RecentWrong> recent;
  {
    Statement read(kRecentWrongRead);
    bind_text(read.stmt, 1, key);
    int rc;
    while ((rc = sqlite3_step(read.stmt)) == SQLITE_ROW) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(read.stmt, 0));
      recent.push_back(
          {std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(read.stmt, 0))),
           sqlite3_column_int64(read.stmt, 1)});
    }
    if (rc != SQLITE_DONE) return store_error(rc);
  }
  const std::vector<RecentWrong> before = recent;
  stale = repeat_of_recent_wrong(recent, attempt_key, lockout_clock(), policy);
  if (attempt_key.empty() && recent.size() == before.size()) return 0;
  Statement clear(kRecentWrongClear);
  bind_text(clear.stmt, 1, key);
  if (const DWORD rc = step_done(clear.stmt); rc != 0) return rc;
  for (const RecentWrong& entry : recent) {
    Statement add(kRecentWrongAdd);
    bind_text(add.stmt, 1, key);
    sqlite3_bind_blob(add.stmt, 2, entry.key.data(), static_cast<int>(entry.key.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(add.stmt, 3, entry.at);
    if (const DWORD rc = step_done(add.stmt); rc != 0) return rc;
  }
  return 0;
}

// Applies a verified attempt to the account's counts and to those of its source (the
// logon's source; none: the account's alone): the account is read again in the write
// transaction that counts, so that attempts from every process are counted one after
// another and none is lost. ERROR_LOGON_FAILURE, ERROR_ACCOUNT_LOCKED_OUT (the account
// locked, or the source throttled), 0 for a right password that neither stops, or a
// store result code. A password changed since it was verified is refused without a count.
DWORD count_attempt_in_store(const std::string& key, const std::string& verified_hash,
                             bool password_right, const std::string& attempt_key) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  const QuickCommits quick;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  StoredLogon current;
  if (const DWORD rc = read_stored(key, current); rc != 0) return rc;
  if (!current.has_hash || current.hash != verified_hash) return ERROR_LOGON_FAILURE;

  const LockoutPolicy policy = lockout_policy();
  const std::int64_t now = lockout_clock();
  const std::string& source = logon_source();
  LogonTally source_before;
  if (!source.empty()) {
    if (const DWORD rc = read_source_tally(key, source, source_before); rc != 0) return rc;
  }
  bool stale = false;
  if (!password_right) {
    if (const DWORD rc = check_recent_wrong(key, attempt_key, policy, stale); rc != 0) return rc;
  }
  LogonTally tally = current.tally;
  LogonTally source_tally = source_before;
  const Attempt verdict = count_attempt(tally, source.empty() ? nullptr : &source_tally,
                                        password_right, stale, now, policy);
  const auto bind_key = [&key](sqlite3_stmt* stmt) { bind_text(stmt, 1, key); };
  if (const DWORD rc = keep_tally(tally, current.tally, kTallyWrite, kTallyClear, 2, bind_key);
      rc != 0)
    return rc;
  if (!source.empty()) {
    const auto bind_source = [&key, &source](sqlite3_stmt* stmt) {
      bind_text(stmt, 1, key);
      bind_text(stmt, 2, source);
    };
    if (const DWORD rc = keep_tally(source_tally, source_before, kSourceTallyWrite,
                                    kSourceTallyClear, 3, bind_source);
        rc != 0)
      return rc;
    // Sources whose wrong passwords left the window go, so that the rows of an attack
    // from many addresses do not stay.
    if (!password_right) {
      Statement expire(kSourceTallyExpire);
      bind_text(expire.stmt, 1, key);
      sqlite3_bind_int64(expire.stmt, 2, now - policy.window_s);
      if (const DWORD rc = step_done(expire.stmt); rc != 0) return rc;
    }
  }
  // A count that cannot be kept refuses the logon: a guesser must not gain by it.
  if (const DWORD rc = transaction.commit(Settle::kLogOnly); rc != 0) return rc;
  note_logon_refusal(stale && verdict == Attempt::refused ? LogonRefusal::kRepeatedPassword
                                                          : refusal_of(verdict));
  switch (verdict) {
    case Attempt::accepted:
      return 0;
    case Attempt::locked:
    case Attempt::throttled:
      return ERROR_ACCOUNT_LOCKED_OUT;
    case Attempt::refused:
      break;
  }
  return ERROR_LOGON_FAILURE;
}

// Replaces a hash made with older parameters, unless the password changed meanwhile. A
// failure here does not undo the logon: the old hash stays valid.
void renew_hash(const std::string& key, const std::string& old_hash, std::string_view password) {
  std::string fresh;
  if (!hash_password(password, fresh)) return;
  auto lock = lock_store();
  if (open_store(Access::kWrite) != 0) return;
  int rc = SQLITE_OK;
  {
    Statement update(kRehash);
    bind_text(update.stmt, 1, key);
    bind_text(update.stmt, 2, old_hash);
    bind_text(update.stmt, 3, fresh);
    rc = sqlite3_step(update.stmt);
  }
  if (rc == SQLITE_DONE) settle_change(Settle::kFold);
}

}  // namespace

bool store_row_locked(sqlite3_stmt* stmt, int column, std::int64_t now) {
  LogonTally tally;
  tally.locked_since = sqlite3_column_int64(stmt, column);
  return tally_locked(tally, now, lockout_policy());
}

DWORD store_logon(const AccountName* name, const std::string* password) {
  dummy_hash();  // made now if need be, before any path can differ in cost
  StoredLogon stored;
  if (name != nullptr) {
    // A broken store is told apart from a refused password.
    if (const DWORD rc = read_logon(name->key, stored); rc != 0) return rc;
  }
  const bool counting = lockout_policy().threshold != 0;
  const std::string_view text = password != nullptr ? std::string_view(*password) : "";
  if (password == nullptr || !stored.has_hash) {
    verify_dummy(text);
    if (counting) {
      if (const DWORD rc = count_unknown(); rc != 0) return rc;
    }
    note_logon_refusal(LogonRefusal::kUnknownName);
    return ERROR_LOGON_FAILURE;
  }
  // A locked account's or throttled source's hash is verified all the same, so that its
  // refusal costs what a wrong password costs.
  std::string attempt_key;
  const bool right = counting ? verify_password_keyed(stored.hash, text, attempt_key)
                              : verify_password(stored.hash, text);
  if (counting) {
    if (const DWORD rc = count_attempt_in_store(name->key, stored.hash, right, attempt_key);
        rc != 0)
      return rc;
  } else if (!right) {
    return ERROR_LOGON_FAILURE;
  }
  if ((stored.flags & UF_ACCOUNTDISABLE) != 0) return ERROR_ACCOUNT_DISABLED;
  if (hash_needs_renewal(stored.hash)) renew_hash(name->key, stored.hash, text);
  return 0;
}

}  // namespace ostrel_posix
