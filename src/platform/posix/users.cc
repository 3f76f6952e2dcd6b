// Adding, reading, changing and deleting one account.
#include <ctime>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/bulk.h"
#include "platform/posix/faults.h"
#include "platform/posix/hashing.h"
#include "platform/posix/host.h"
#include "platform/posix/names.h"
#include "platform/posix/net_buffer.h"
#include "platform/posix/store.h"
#include "platform/posix/utf.h"

namespace ostrel_posix {
namespace {

NET_API_STATUS refuse(LPDWORD parm_err, DWORD index) {
  if (parm_err != nullptr) *parm_err = index;
  return ERROR_INVALID_PARAMETER;
}

// A record's name, key and attribute fields, checked as NetUserAdd checks them.
struct NewAccount {
  std::u16string_view name;
  std::string key;
  std::string name_text;
  UserFields fields;
};

DWORD check_new_account(const USER_INFO_1& info, NewAccount& account, DWORD& parm_index) {
  if (!account_name_and_key(info.usri1_name, account.name, account.key) ||
      !utf16_to_utf8(account.name, account.name_text)) {
    parm_index = kParmName;
    return ERROR_INVALID_PARAMETER;
  }
  return prepare_user_fields(info, account.fields, parm_index);
}

// Checks a new password: 0, ERROR_INVALID_PARAMETER (index 2) or NERR_PasswordTooShort. An
// empty password is refused: an account must not be opened by an empty line.
DWORD check_password(const WCHAR* password, SecretText& text) {
  if (!password_to_utf8(password, kMaxPasswordUnits, text)) return ERROR_INVALID_PARAMETER;
  return text.text.empty() ? NERR_PasswordTooShort : 0;
}

// Inserts one account (store lock held, inside a write transaction).
DWORD insert_account(const NewAccount& account, const std::string* hash, std::int64_t now) {
  {
    Statement exists(kAccountExists);
    bind_text(exists.stmt, 1, account.key);
    const int rc = sqlite3_step(exists.stmt);
    if (rc == SQLITE_ROW) return NERR_UserExists;
    if (rc != SQLITE_DONE) return store_error(rc);
  }
  Statement insert(kInsertAccount);
  sqlite3_stmt* s = insert.stmt;
  const UserFields& f = account.fields;
  bind_text(s, 1, account.key);
  bind_text(s, 2, account.name_text);
  bind_optional(s, 3, hash != nullptr, hash != nullptr ? std::string_view(*hash) : "");
  sqlite3_bind_int64(s, 4, now);
  sqlite3_bind_int64(s, 5, f.priv);
  sqlite3_bind_int64(s, 6, f.flags);
  bind_optional(s, 7, f.has_home_dir, f.home_dir);
  bind_optional(s, 8, f.has_comment, f.comment);
  bind_optional(s, 9, f.has_script_path, f.script_path);
  const int rc = sqlite3_step(s);
  return rc == SQLITE_DONE ? 0 : store_error(rc);
}

std::int64_t now_seconds() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

DWORD bulk_add_accounts(const USER_INFO_1* records, std::size_t count) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  const std::int64_t now = now_seconds();
  for (std::size_t i = 0; i < count; ++i) {
    NewAccount account;
    DWORD parm_index = 0;
    if (const DWORD rc = check_new_account(records[i], account, parm_index); rc != 0) return rc;
    if (const DWORD rc = insert_account(account, nullptr, now); rc != 0) return rc;
  }
  return transaction.commit();
}

}  // namespace ostrel_posix

using namespace ostrel_posix;

NET_API_STATUS NetUserAdd(LPCWSTR server, DWORD level, LPBYTE buffer, LPDWORD parm_err) {
  Fault fault;
  if (take_fault("NetUserAdd", fault)) {
    if (parm_err != nullptr) *parm_err = fault.parm_index;
    return fault.code;
  }
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  const USER_INFO_1& info = *reinterpret_cast<const USER_INFO_1*>(buffer);

  NewAccount account;
  DWORD parm_index = 0;
  if (!account_name_and_key(info.usri1_name, account.name, account.key) ||
      !utf16_to_utf8(account.name, account.name_text))
    return refuse(parm_err, kParmName);
  SecretText password;
  if (info.usri1_password != nullptr) {
    const DWORD rc = check_password(info.usri1_password, password);
    if (rc == ERROR_INVALID_PARAMETER) return refuse(parm_err, kParmPassword);
    if (rc != 0) return rc;
  }
  if (prepare_user_fields(info, account.fields, parm_index) != 0)
    return refuse(parm_err, parm_index);

  // Hash before taking the store: the write lock is not held while the hash is made.
  std::string hash;
  if (info.usri1_password != nullptr && !hash_password(password.text, hash))
    return ERROR_NOT_ENOUGH_MEMORY;

  auto lock = lock_store();
  if (const DWORD rc = open_store(); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  const DWORD rc =
      insert_account(account, info.usri1_password != nullptr ? &hash : nullptr, now_seconds());
  return rc != 0 ? rc : transaction.commit();
}

NET_API_STATUS NetUserSetInfo(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE buffer,
                              LPDWORD parm_err) {
  Fault fault;
  if (take_fault("NetUserSetInfo", fault)) {
    if (parm_err != nullptr) *parm_err = fault.parm_index;
    return fault.code;
  }
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string_view name;
  std::string key;
  if (!account_name_and_key(user, name, key)) return NERR_UserNotFound;
  const USER_INFO_1& info = *reinterpret_cast<const USER_INFO_1*>(buffer);

  // The record's name is not used: an account is not renamed here. A null password keeps
  // the stored hash.
  SecretText password;
  const bool new_password = info.usri1_password != nullptr;
  if (new_password) {
    const DWORD rc = check_password(info.usri1_password, password);
    if (rc == ERROR_INVALID_PARAMETER) return refuse(parm_err, kParmPassword);
    if (rc != 0) return rc;
  }
  UserFields fields;
  DWORD parm_index = 0;
  if (prepare_user_fields(info, fields, parm_index) != 0) return refuse(parm_err, parm_index);
  std::string hash;
  if (new_password && !hash_password(password.text, hash)) return ERROR_NOT_ENOUGH_MEMORY;

  auto lock = lock_store();
  if (const DWORD rc = open_store(); rc != 0) return rc;
  Statement update(kUpdateAccount);
  sqlite3_stmt* s = update.stmt;
  bind_text(s, 1, key);
  sqlite3_bind_int64(s, 2, fields.priv);
  sqlite3_bind_int64(s, 3, fields.flags);
  bind_optional(s, 4, fields.has_home_dir, fields.home_dir);
  bind_optional(s, 5, fields.has_comment, fields.comment);
  bind_optional(s, 6, fields.has_script_path, fields.script_path);
  sqlite3_bind_int(s, 7, new_password ? 1 : 0);
  bind_optional(s, 8, new_password, hash);
  sqlite3_bind_int64(s, 9, now_seconds());
  const int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) return store_error(rc);
  return store_changes() == 0 ? NERR_UserNotFound : NERR_Success;
}

NET_API_STATUS NetUserGetInfo(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE* buffer) {
  if (buffer != nullptr) *buffer = nullptr;
  Fault fault;
  if (take_fault("NetUserGetInfo", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string_view name;
  std::string key;
  if (!account_name_and_key(user, name, key)) return NERR_UserNotFound;

  UserRecords records;
  {
    auto lock = lock_store();
    if (const DWORD rc = open_store(); rc != 0) return rc;
    Statement get(kGetAccount);
    bind_text(get.stmt, 1, key);
    const int rc = sqlite3_step(get.stmt);
    if (rc == SQLITE_DONE) return NERR_UserNotFound;
    if (rc != SQLITE_ROW) return store_error(rc);
    if (!add_user_row(get.stmt, 0, now_seconds(), records)) return ERROR_FILE_CORRUPT;
  }
  *buffer = pack_user_records(records);
  return *buffer == nullptr ? ERROR_NOT_ENOUGH_MEMORY : NERR_Success;
}

NET_API_STATUS NetUserDel(LPCWSTR server, LPCWSTR user) {
  Fault fault;
  if (take_fault("NetUserDel", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  std::u16string_view name;
  std::string key;
  if (!account_name_and_key(user, name, key)) return NERR_UserNotFound;
  auto lock = lock_store();
  if (const DWORD rc = open_store(); rc != 0) return rc;
  // Memberships go with the account (the foreign keys cascade).
  Statement remove(kDeleteAccount);
  bind_text(remove.stmt, 1, key);
  const int rc = sqlite3_step(remove.stmt);
  if (rc != SQLITE_DONE) return store_error(rc);
  return store_changes() == 0 ? NERR_UserNotFound : NERR_Success;
}
