// The store's side of adding, reading, changing and deleting accounts, and of local group
// membership. Each call is one transaction on the store.
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/faults.h"
#include "platform/posix/common/hashing.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/common/password_policy.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/store/bulk.h"
#include "platform/posix/store/store.h"

namespace ostrel_posix {
namespace {

// Room for the texts of a usual account, so that reading one does not grow the pool.
constexpr std::size_t kOneAccountUnits = 256;

std::int64_t now_seconds() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

// Inserts one account (store lock held, inside a write transaction).
DWORD insert_account(const AccountName& name, const UserFields& f, const std::string* hash,
                     std::int64_t now) {
  // Lets tests fail an insert inside a transaction that already changed the store.
  if (Fault fault; take_fault("insert_account", fault)) return fault.code;
  {
    Statement exists(kAccountExists);
    bind_text(exists.stmt, 1, name.key);
    const int rc = sqlite3_step(exists.stmt);
    if (rc == SQLITE_ROW) return NERR_UserExists;
    if (rc != SQLITE_DONE) return store_error(rc);
  }
  Statement insert(kInsertAccount);
  sqlite3_stmt* s = insert.stmt;
  bind_text(s, 1, name.key);
  bind_text(s, 2, name.text);
  bind_optional(s, 3, hash != nullptr, hash != nullptr ? std::string_view(*hash) : "");
  sqlite3_bind_int64(s, 4, now);
  sqlite3_bind_int64(s, 5, f.priv);
  sqlite3_bind_int64(s, 6, f.flags & ~UF_LOCKOUT);
  bind_optional(s, 7, f.has_home_dir, f.home_dir);
  bind_optional(s, 8, f.has_comment, f.comment);
  bind_optional(s, 9, f.has_script_path, f.script_path);
  const int rc = sqlite3_step(s);
  return rc == SQLITE_DONE ? 0 : store_error(rc);
}

// Refuses a new password that is the account's current one or one of the history - 1
// before it. The hashes are read first and checked without the store lock (each check costs
// what a logon does); a set of the same account meanwhile can slip past by one.
DWORD check_history(const AccountName& name, const std::string& password, unsigned history) {
  if (history == 0) return 0;
  std::vector<std::string> hashes;
  {
    auto lock = lock_store();
    if (const DWORD rc = open_store(Access::kRead); rc != 0) return rc;
    Transaction transaction(false);
    if (transaction.status != 0) return transaction.status;
    Statement current(kCurrentHash);
    bind_text(current.stmt, 1, name.key);
    int rc = sqlite3_step(current.stmt);
    if (rc == SQLITE_ROW && sqlite3_column_type(current.stmt, 0) == SQLITE_TEXT)
      hashes.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(current.stmt, 0)));
    else if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      return store_error(rc);
    Statement former(kHistoryRead);
    bind_text(former.stmt, 1, name.key);
    sqlite3_bind_int64(former.stmt, 2, history - 1);
    while ((rc = sqlite3_step(former.stmt)) == SQLITE_ROW)
      hashes.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(former.stmt, 0)));
    if (rc != SQLITE_DONE) return store_error(rc);
  }
  for (const std::string& hash : hashes)
    if (verify_password(hash, password)) return refuse_password(name.text, history_rule(history));
  return 0;
}

// Inside the write transaction of a new password, before the account row changes: its
// current hash becomes its newest former one, and only the history - 1 newest are kept.
DWORD remember_current_hash(const std::string& key, unsigned history) {
  if (history < 2) return 0;
  std::string hash;
  {
    Statement current(kCurrentHash);
    bind_text(current.stmt, 1, key);
    const int rc = sqlite3_step(current.stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return store_error(rc);
    if (rc == SQLITE_DONE || sqlite3_column_type(current.stmt, 0) != SQLITE_TEXT) return 0;
    hash = reinterpret_cast<const char*>(sqlite3_column_text(current.stmt, 0));
  }
  Statement add(kHistoryAdd);
  bind_text(add.stmt, 1, key);
  bind_text(add.stmt, 2, hash);
  if (const int rc = sqlite3_step(add.stmt); rc != SQLITE_DONE) return store_error(rc);
  Statement trim(kHistoryTrim);
  bind_text(trim.stmt, 1, key);
  sqlite3_bind_int64(trim.stmt, 2, history - 1);
  const int rc = sqlite3_step(trim.stmt);
  return rc == SQLITE_DONE ? 0 : store_error(rc);
}

DWORD store_add_user(const AccountName& name, const UserFields& fields,
                     const std::string* password) {
  // Hash before taking the store: the write lock is not held while the hash is made.
  std::string hash;
  if (password != nullptr && !hash_password(*password, hash)) return ERROR_NOT_ENOUGH_MEMORY;
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  const DWORD rc =
      insert_account(name, fields, password != nullptr ? &hash : nullptr, now_seconds());
  return rc != 0 ? rc : transaction.commit();
}

DWORD store_set_user(const AccountName& name, const UserFields& fields,
                     const std::string* password) {
  const unsigned history = password != nullptr ? password_policy().history : 0;
  if (const DWORD rc = password != nullptr ? check_history(name, *password, history) : 0; rc != 0)
    return rc;
  std::string hash;
  if (password != nullptr && !hash_password(*password, hash)) return ERROR_NOT_ENOUGH_MEMORY;
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  if (const DWORD rc = remember_current_hash(name.key, history); rc != 0) return rc;
  {
    Statement update(kUpdateAccount);
    sqlite3_stmt* s = update.stmt;
    bind_text(s, 1, name.key);
    sqlite3_bind_int64(s, 2, fields.priv);
    // The lock is not an attribute: it lives in the count of wrong passwords.
    sqlite3_bind_int64(s, 3, fields.flags & ~UF_LOCKOUT);
    bind_optional(s, 4, fields.has_home_dir, fields.home_dir);
    bind_optional(s, 5, fields.has_comment, fields.comment);
    bind_optional(s, 6, fields.has_script_path, fields.script_path);
    sqlite3_bind_int(s, 7, password != nullptr ? 1 : 0);
    bind_optional(s, 8, password != nullptr, hash);
    sqlite3_bind_int64(s, 9, now_seconds());
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) return store_error(rc);
    if (store_changes() == 0) return NERR_UserNotFound;
  }
  // A record without UF_LOCKOUT unlocks the account, and so does a new password: every
  // count of it goes, its sources' and its recent wrong passwords too.
  if ((fields.flags & UF_LOCKOUT) == 0 || password != nullptr) {
    for (const Sql clear_counts : {kTallyClear, kSourceTalliesClear, kRecentWrongClear}) {
      Statement clear(clear_counts);
      bind_text(clear.stmt, 1, name.key);
      if (const int rc = sqlite3_step(clear.stmt); rc != SQLITE_DONE) return store_error(rc);
    }
  }
  return transaction.commit();
}

DWORD store_get_user(const AccountName& name, UserRecords& records) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kRead); rc != 0) return rc;
  const bool lock_state = lockout_policy().threshold != 0;
  Statement get(lock_state ? kGetAccountLocks : kGetAccount);
  bind_text(get.stmt, 1, name.key);
  const int rc = sqlite3_step(get.stmt);
  if (rc == SQLITE_DONE) return NERR_UserNotFound;
  if (rc != SQLITE_ROW) return store_error(rc);
  records.pool.reserve(kOneAccountUnits);
  const std::int64_t now = now_seconds();
  if (!add_user_row(get.stmt, 0, now, records)) return ERROR_FILE_CORRUPT;
  if (lock_state && store_row_locked(get.stmt, 7, now)) records.entries.back().flags |= UF_LOCKOUT;
  return 0;
}

DWORD store_delete_user(const AccountName& name) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  {
    // Memberships go with the account (the foreign keys cascade).
    Statement remove(kDeleteAccount);
    bind_text(remove.stmt, 1, name.key);
    const int rc = sqlite3_step(remove.stmt);
    if (rc != SQLITE_DONE) return store_error(rc);
    if (store_changes() == 0) return NERR_UserNotFound;
  }
  // Its former passwords too: a new account of the name starts without them.
  Statement forget(kHistoryClear);
  bind_text(forget.stmt, 1, name.key);
  if (const int rc = sqlite3_step(forget.stmt); rc != SQLITE_DONE) return store_error(rc);
  return transaction.commit();
}

DWORD store_replace_user(const AccountName& name, const UserFields& fields,
                         const std::string* password, DWORD& removal) {
  removal = 0;
  // The account stays the same one for its password history.
  const unsigned history = password != nullptr ? password_policy().history : 0;
  if (const DWORD rc = password != nullptr ? check_history(name, *password, history) : 0; rc != 0)
    return rc == NERR_PasswordTooShort ? rc : removal = rc;
  // The hash is made before the transaction, as for an add: the lock is not held meanwhile.
  std::string hash;
  if (password != nullptr && !hash_password(*password, hash)) return ERROR_NOT_ENOUGH_MEMORY;
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return removal = rc;
  // Removal and insert commit together: a process killed in between, or an insert that
  // fails, leaves the old account (and its memberships) as they were.
  Transaction transaction(true);
  if (transaction.status != 0) return removal = transaction.status;
  if (const DWORD rc = remember_current_hash(name.key, history); rc != 0) return removal = rc;
  {
    Statement remove(kDeleteAccount);
    bind_text(remove.stmt, 1, name.key);
    const int rc = sqlite3_step(remove.stmt);
    if (rc != SQLITE_DONE) return removal = store_error(rc);
    if (store_changes() == 0) return removal = NERR_UserNotFound;
  }
  const DWORD rc =
      insert_account(name, fields, password != nullptr ? &hash : nullptr, now_seconds());
  return rc != 0 ? rc : transaction.commit();
}

DWORD store_add_members(const AccountName& group, const std::vector<AccountName>& members) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  {
    Statement exists(kGroupExists);
    bind_text(exists.stmt, 1, group.key);
    const int rc = sqlite3_step(exists.stmt);
    if (rc == SQLITE_DONE) return NERR_GroupNotFound;
    if (rc != SQLITE_ROW) return store_error(rc);
  }
  for (const AccountName& member : members) {
    {
      Statement exists(kAccountExists);
      bind_text(exists.stmt, 1, member.key);
      const int rc = sqlite3_step(exists.stmt);
      if (rc == SQLITE_DONE) return ERROR_NO_SUCH_MEMBER;
      if (rc != SQLITE_ROW) return store_error(rc);
    }
    Statement add(kAddMember);
    bind_text(add.stmt, 1, group.key);
    bind_text(add.stmt, 2, member.key);
    const int rc = sqlite3_step(add.stmt);
    if (rc != SQLITE_DONE) return store_error(rc);
    if (store_changes() == 0) return ERROR_MEMBER_IN_ALIAS;
  }
  return transaction.commit();
}

}  // namespace

DWORD store_enumerate(DWORD filter, DWORD preferred_length, DWORD* resume_handle,
                      UserRecords& records, DWORD& total);
DWORD store_logon(const AccountName* name, const std::string* password);

const Backend& store_backend() {
  static const Backend table = {
      store_add_user,  store_set_user,    store_get_user, store_delete_user, store_replace_user,
      store_enumerate, store_add_members, store_logon,    nullptr,           nullptr};
  return table;
}

namespace {

// The name and fields of a record as the store keeps them: 0, ERROR_INVALID_PARAMETER for
// a name it cannot take, or the code prepare_user_fields gives the fields.
DWORD bulk_record(const USER_INFO_1& record, AccountName& name, UserFields& fields) {
  DWORD parm_index = 0;
  if (!account_name_and_key(record.usri1_name, name.wide, name.key) ||
      !utf16_to_utf8(name.wide, name.text))
    return ERROR_INVALID_PARAMETER;
  return prepare_user_fields(record, fields, parm_index);
}

}  // namespace

DWORD bulk_import_accounts(const USER_INFO_1* records, const std::string* const* hashes,
                           std::size_t count, DWORD* results) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  const std::int64_t now = now_seconds();
  for (std::size_t i = 0; i < count; ++i) {
    AccountName name;
    UserFields fields;
    if (bulk_record(records[i], name, fields) != 0) {
      results[i] = ERROR_INVALID_PARAMETER;
      continue;
    }
    if (hashes[i] != nullptr && hash_method(*hashes[i]) == nullptr) {
      results[i] = ERROR_INVALID_PASSWORD;
      continue;
    }
    results[i] = insert_account(name, fields, hashes[i], now);
    // Only a refusal of this account leaves the others to be added.
    if (results[i] != 0 && results[i] != NERR_UserExists) return results[i];
  }
  return transaction.commit();
}

DWORD bulk_count_hash_methods(std::map<std::string, std::size_t>& pending) {
  pending.clear();
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kRead); rc != 0) return rc;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(store_handle(),
                              "SELECT password_hash FROM accounts WHERE password_hash IS NOT NULL",
                              -1, &stmt, nullptr);
  if (rc != SQLITE_OK) return store_error(rc);
  std::string hash;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    hash.assign(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
    if (!hash_needs_renewal(hash)) continue;
    const char* method = hash_method(hash);
    ++pending[method != nullptr ? method : "unknown"];
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE ? 0 : store_error(rc);
}

DWORD bulk_add_accounts(const USER_INFO_1* records, std::size_t count) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(Access::kWrite); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  const std::int64_t now = now_seconds();
  for (std::size_t i = 0; i < count; ++i) {
    AccountName name;
    UserFields fields;
    if (const DWORD rc = bulk_record(records[i], name, fields); rc != 0) return rc;
    if (const DWORD rc = insert_account(name, fields, nullptr, now); rc != 0) return rc;
  }
  return transaction.commit();
}

}  // namespace ostrel_posix
