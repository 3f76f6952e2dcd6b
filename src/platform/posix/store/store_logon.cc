// Password logon against the store's argon2id hashes. Every refusal for a name or
// password costs one hash verification, whether the account exists or not, so the time
// taken does not tell which.
#include <string>
#include <string_view>

#include "platform/posix/backend.h"
#include "platform/posix/hashing.h"
#include "platform/posix/store/store.h"

namespace ostrel_posix {
namespace {

struct StoredLogon {
  bool has_hash = false;
  std::string hash;
  DWORD flags = 0;
};

// Reads the hash and flags of an account: 0 or a store result code.
DWORD read_logon(const std::string& key, StoredLogon& stored) {
  auto lock = lock_store();
  if (const DWORD rc = open_store(); rc != 0) return rc;
  Statement read(kLogonRead);
  bind_text(read.stmt, 1, key);
  const int rc = sqlite3_step(read.stmt);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return store_error(rc);
  stored.flags = static_cast<DWORD>(sqlite3_column_int64(read.stmt, 1));
  if (sqlite3_column_type(read.stmt, 0) != SQLITE_NULL) {
    stored.has_hash = true;
    stored.hash.assign(reinterpret_cast<const char*>(sqlite3_column_text(read.stmt, 0)),
                       static_cast<std::size_t>(sqlite3_column_bytes(read.stmt, 0)));
  }
  return 0;
}

// Replaces a hash made with older parameters, unless the password changed meanwhile. A
// failure here does not undo the logon: the old hash stays valid.
void renew_hash(const std::string& key, const std::string& old_hash, std::string_view password) {
  std::string fresh;
  if (!hash_password(password, fresh)) return;
  auto lock = lock_store();
  if (open_store() != 0) return;
  Statement update(kRehash);
  bind_text(update.stmt, 1, key);
  bind_text(update.stmt, 2, old_hash);
  bind_text(update.stmt, 3, fresh);
  sqlite3_step(update.stmt);
}

}  // namespace

DWORD store_logon(const AccountName* name, const std::string* password) {
  dummy_hash();  // made now if need be, before any path can differ in cost
  StoredLogon stored;
  if (name != nullptr) {
    // A broken store is told apart from a refused password.
    if (const DWORD rc = read_logon(name->key, stored); rc != 0) return rc;
  }
  const std::string_view text = password != nullptr ? std::string_view(*password) : "";
  if (password == nullptr || !stored.has_hash) {
    verify_dummy(text);
    return ERROR_LOGON_FAILURE;
  }
  if (!verify_password(stored.hash, text)) return ERROR_LOGON_FAILURE;
  if ((stored.flags & UF_ACCOUNTDISABLE) != 0) return ERROR_ACCOUNT_DISABLED;
  if (hash_needs_renewal(stored.hash)) renew_hash(name->key, stored.hash, text);
  return 0;
}

}  // namespace ostrel_posix
