// A password checked by a logon on the configured host: the step that the check command
// and the PAM module share, so that both count, lock and log alike.
#include <cstring>
#include <memory>

#include "accounts/accounts.h"

namespace {

struct TokenCloser {
  void operator()(void* token) const {
    if (token) CloseHandle(token);
  }
};
using LogonToken = std::unique_ptr<void, TokenCloser>;

// Clears the caller's password text when the logon returns, on every path.
struct PasswordWipe {
  char* text;
  ~PasswordWipe() {
    if (text) secure_wipe(text, std::strlen(text));
  }
};

// The source of a logon for the calls it makes, and none again when it is done.
struct LogonSource {
  explicit LogonSource(const char* source) { platform_set_logon_source(source); }
  ~LogonSource() { platform_set_logon_source(nullptr); }
};

}  // namespace

LogonOutcome log_on_with_password(LPCWSTR wide_user, char* password, WideBuffer& host, DWORD& code,
                                  const char* source) {
  const PasswordWipe wipe{password};
  code = 0;
  WideBuffer wide_password = to_wide(password);
  if (!wide_password) {
    code = GetLastError();
    return LogonOutcome::bad_password_text;
  }
  host = resolve_host();
  if (!host) return LogonOutcome::no_host;

  HANDLE raw_token = nullptr;
  const LogonSource from(source);
  const BOOL logged_on =
      LogonUserW(wide_user, host.get(), wide_password.get(), LOGON32_LOGON_INTERACTIVE,
                 LOGON32_PROVIDER_DEFAULT, &raw_token);
  // A BOOL: any nonzero value is success, and only a failure leaves a code to read.
  code = logged_on != FALSE ? 0 : GetLastError();
  const LogonToken token(logged_on ? raw_token : nullptr);
  return logged_on != FALSE ? LogonOutcome::accepted : LogonOutcome::refused;
}
