// Password logon against the stored argon2id hashes, and the tokens a logon hands out.
// Every refusal for a name or password costs one hash verification, whether the account
// exists or not, so the time taken does not tell which.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/platform.h"
#include "platform/posix/faults.h"
#include "platform/posix/hashing.h"
#include "platform/posix/host.h"
#include "platform/posix/names.h"
#include "platform/posix/store.h"

namespace {

using namespace ostrel_posix;

struct LogonToken {
  std::string account_key;
};

// Live tokens, so that closing an unknown or already closed handle is refused instead of
// freeing memory that is not a token.
std::mutex token_mutex;
std::unordered_set<LogonToken*> tokens;

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

bool known_logon_type(DWORD type) {
  return type == LOGON32_LOGON_INTERACTIVE || type == LOGON32_LOGON_NETWORK ||
         type == LOGON32_LOGON_BATCH || type == LOGON32_LOGON_SERVICE ||
         type == LOGON32_LOGON_NETWORK_CLEARTEXT;
}

struct StoredLogon {
  bool found = false;
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
  stored.found = true;
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

BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logon_type,
                DWORD logon_provider, PHANDLE token) {
  if (token != nullptr) *token = nullptr;
  Fault fault;
  if (take_fault("LogonUserW", fault)) return fail(fault.code);
  if (token == nullptr || user == nullptr || password == nullptr)
    return fail(ERROR_INVALID_PARAMETER);
  if (!known_logon_type(logon_type) || logon_provider != LOGON32_PROVIDER_DEFAULT)
    return fail(ERROR_INVALID_PARAMETER);

  dummy_hash();  // made now if need be, before any path can differ in cost
  SecretText secret;
  const bool password_ok = password_to_utf8(password, kMaxPasswordUnits, secret);
  std::u16string_view name;
  std::string key;
  const bool name_ok = account_name_and_key(user, name, key);

  StoredLogon stored;
  if (name_ok && is_local_domain(domain)) {
    // A broken store is told apart from a refused password.
    if (const DWORD rc = read_logon(key, stored); rc != 0) return fail(rc);
  }
  if (!password_ok || !stored.has_hash) {
    verify_dummy(secret.text);
    return fail(ERROR_LOGON_FAILURE);
  }
  if (!verify_password(stored.hash, secret.text)) return fail(ERROR_LOGON_FAILURE);
  if ((stored.flags & UF_ACCOUNTDISABLE) != 0) return fail(ERROR_ACCOUNT_DISABLED);
  if (hash_needs_renewal(stored.hash)) renew_hash(key, stored.hash, secret.text);

  auto made = std::make_unique<LogonToken>();
  made->account_key = key;
  std::lock_guard<std::mutex> lock(token_mutex);
  tokens.insert(made.get());
  *token = made.release();
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  auto* candidate = static_cast<LogonToken*>(handle);
  std::unique_ptr<LogonToken> owned;
  {
    std::lock_guard<std::mutex> lock(token_mutex);
    const auto it = tokens.find(candidate);
    if (it == tokens.end()) return fail(ERROR_INVALID_HANDLE);
    tokens.erase(it);
    owned.reset(candidate);
  }
  return TRUE;
}
