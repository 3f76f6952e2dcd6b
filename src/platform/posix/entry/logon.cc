// LogonUserW and the tokens a logon hands out. The checks every backend shares happen
// here; the password check itself is the active backend's.
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/platform.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/faults.h"
#include "platform/posix/common/hashing.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/common/names.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/entry/host.h"

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

  SecretText secret;
  const bool password_ok = password_to_utf8(password, kMaxPasswordUnits, secret);
  AccountName name;
  const bool name_ok = backend_account_name(user, name.wide, name.key) &&
                       utf16_to_utf8(name.wide, name.text) && is_local_domain(domain);
  note_logon_refusal(LogonRefusal::kNone);
  const DWORD rc =
      active_backend().logon(name_ok ? &name : nullptr, password_ok ? &secret.text : nullptr);
  if (rc != 0) {
    // The backend may have said why; otherwise the code says it.
    if (platform_last_logon_refusal() == LogonRefusal::kNone) {
      switch (rc) {
        case ERROR_LOGON_FAILURE:
          note_logon_refusal(LogonRefusal::kWrongPassword);
          break;
        case ERROR_ACCOUNT_LOCKED_OUT:
          note_logon_refusal(LogonRefusal::kLockedAccount);
          break;
        case ERROR_ACCOUNT_DISABLED:
        case ERROR_ACCOUNT_EXPIRED:
        case ERROR_PASSWORD_EXPIRED:
        case ERROR_PASSWORD_MUST_CHANGE:
          break;
        default:
          note_logon_refusal(LogonRefusal::kUnavailable);
          break;
      }
    }
    return fail(rc);
  }
  note_logon_refusal(LogonRefusal::kNone);

  auto made = std::make_unique<LogonToken>();
  made->account_key = name.key;
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
