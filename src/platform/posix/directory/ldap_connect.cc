#include "platform/posix/directory/ldap_connect.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/backend.h"
#include "platform/posix/directory/ldap_codes.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

// The longest password file read; a bigger file is not a password.
constexpr std::size_t kMaxBindPassword = 4096;

struct DirectoryState {
  DirectorySettings settings;
  LdapPtr service;
  bool service_fresh = false;  // opened by the call now running
};

std::mutex directory_mutex;
DirectoryState state;
timeval timeout{kDirectoryTimeoutSeconds, 0};

struct UrlCloser {
  void operator()(LDAPURLDesc* url) const { ldap_free_urldesc(url); }
};

bool is_loopback(const char* host) {
  if (host == nullptr) return false;
  return strcmp(host, "127.0.0.1") == 0 || strcmp(host, "::1") == 0 ||
         strcasecmp(host, "localhost") == 0;
}

// A server that drops the connection while the library writes to it must not end the
// process: a write to the dead socket then fails with EPIPE instead. A handler the
// program installed is left alone.
void ignore_broken_pipes() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      signal(SIGPIPE, SIG_IGN);
  });
}

int set_options(LDAP* ld, Transport transport) {
  const int version = LDAP_VERSION3;
  int rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout);
  if (rc == LDAP_OPT_SUCCESS && transport != Transport::kLocal) {
    // Certificates are checked: a directory that cannot prove its name gets no password.
    const int demand = LDAP_OPT_X_TLS_DEMAND;
    const int client = 0;
    rc = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client);
  }
  return rc;
}

}  // namespace

void LdapCloser::operator()(LDAP* ld) const {
  if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
}

Transport transport_for(const std::string& uri) {
  // One URI only: a list could put a clear-text host behind a loopback one.
  if (!is_directory_uri(uri) || uri.find_first_of(" \t\r\n,") != std::string::npos)
    return Transport::kInvalid;
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(uri.c_str(), &parsed) != LDAP_URL_SUCCESS) return Transport::kInvalid;
  const std::unique_ptr<LDAPURLDesc, UrlCloser> url(parsed);
  const char* scheme = url->lud_scheme;
  if (scheme == nullptr) return Transport::kInvalid;
  if (strcasecmp(scheme, "ldapi") == 0) return Transport::kLocal;
  if (strcasecmp(scheme, "ldaps") == 0) return Transport::kTls;
  if (strcasecmp(scheme, "ldap") != 0) return Transport::kInvalid;
  // No host means the library's configured default, which may be anywhere.
  return is_loopback(url->lud_host) ? Transport::kLocal : Transport::kStartTls;
}

DWORD read_bind_password(const std::string& path, SecretText& password) {
  if (path.empty()) return ERROR_ACCESS_DENIED;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return ERROR_ACCESS_DENIED;
  struct stat info {};
  const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) == 0;
  password.text.reserve(kMaxBindPassword + 1);
  password.text.resize(kMaxBindPassword + 1);
  std::size_t got = 0;
  bool read_ok = usable;
  while (read_ok && got < password.text.size()) {
    const ssize_t n = read(fd, password.text.data() + got, password.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_ok = false;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  if (got > kMaxBindPassword) read_ok = false;
  password.text.resize(read_ok ? got : 0);  // within capacity: no copy is left behind
  if (!password.text.empty() && password.text.back() == '\n') password.text.pop_back();
  if (!password.text.empty() && password.text.back() == '\r') password.text.pop_back();
  return read_ok && !password.text.empty() ? 0 : ERROR_ACCESS_DENIED;
}

std::unique_lock<std::mutex> lock_directory() {
  return std::unique_lock<std::mutex>(directory_mutex);
}

const DirectorySettings& directory_settings() {
  return state.settings;
}

timeval* operation_timeout() {
  return &timeout;
}

DWORD open_directory(const DirectorySettings& settings, LdapPtr& out) {
  const Transport transport = transport_for(settings.uri);
  if (transport == Transport::kInvalid) return NERR_InvalidComputer;
  ignore_broken_pipes();
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, settings.uri.c_str());
  LdapPtr ld(raw);
  if (rc != LDAP_SUCCESS || ld == nullptr)
    return directory_code(rc != LDAP_SUCCESS ? rc : LDAP_NO_MEMORY, DirectoryCall::kInitialize);
  if (set_options(ld.get(), transport) != LDAP_OPT_SUCCESS) return NERR_InternalError;
  if (transport == Transport::kStartTls) {
    // Refused or failed StartTLS ends here: the password never travels in clear.
    rc = ldap_start_tls_s(ld.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      const DWORD code = directory_code(rc, DirectoryCall::kAccount);
      return code == ERROR_BAD_NETPATH ? code : ERROR_ACCESS_DENIED;
    }
  }
  out = std::move(ld);
  return 0;
}

DWORD connect_service(const DirectorySettings& settings, LdapPtr& out) {
  if (settings.base.empty()) return NERR_InvalidComputer;
  LdapPtr ld;
  if (const DWORD code = open_directory(settings, ld); code != 0) return code;
  if (!settings.bind_dn.empty()) {
    int rc;
    {
      SecretText password;  // wiped as soon as the bind is done
      if (const DWORD code = read_bind_password(settings.bind_pw_file, password); code != 0)
        return code;
      berval credentials{static_cast<ber_len_t>(password.text.size()), password.text.data()};
      rc = ldap_sasl_bind_s(ld.get(), settings.bind_dn.c_str(), LDAP_SASL_SIMPLE, &credentials,
                            nullptr, nullptr, nullptr);
    }
    // A service account the directory does not accept is a refusal, not a logon failure.
    if (rc == LDAP_INVALID_CREDENTIALS) return ERROR_ACCESS_DENIED;
    if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
  }
  out = std::move(ld);
  return 0;
}

DWORD run_on_service(const std::function<int(LDAP*)>& op, int& ldap_result) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = false;
    if (state.service == nullptr) {
      if (const DWORD code = connect_service(state.settings, state.service); code != 0) return code;
      fresh = true;
    }
    ldap_result = op(state.service.get());
    if (ldap_result == LDAP_SERVER_DOWN || ldap_result == LDAP_TIMEOUT ||
        ldap_result == LDAP_CONNECT_ERROR) {
      state.service.reset();  // its state is unknown; the next call starts afresh
      // A connection kept from earlier calls may have been closed by the server meanwhile.
      if (ldap_result == LDAP_SERVER_DOWN && !fresh) continue;
    }
    return 0;
  }
  return 0;
}

std::string users_dn() {
  return "ou=users," + state.settings.base;
}

std::string user_dn(const std::string& name) {
  return "uid=" + escape_dn_value(name) + "," + users_dn();
}

std::string group_dn(const std::string& name) {
  return "cn=" + escape_dn_value(name) + ",ou=groups," + state.settings.base;
}

std::string decoy_dn() {
  return "cn=ostrel-decoy," + users_dn();
}

void set_directory_uri(const std::string& uri) {
  auto lock = lock_directory();
  if (uri == state.settings.uri) return;
  state.settings.uri = uri;
  state.service.reset();
  close_directory_listings();
}

void close_directory() {
  auto lock = lock_directory();
  state.service.reset();
  close_directory_listings();
}

}  // namespace ostrel_posix

void platform_set_directory_options(const char* base_dn, const char* bind_dn,
                                    const char* bind_pw_file) {
  using namespace ostrel_posix;
  auto lock = lock_directory();
  DirectorySettings next = state.settings;
  next.base = base_dn != nullptr ? base_dn : "";
  next.bind_dn = bind_dn != nullptr ? bind_dn : "";
  next.bind_pw_file = bind_pw_file != nullptr ? bind_pw_file : "";
  if (next.base == state.settings.base && next.bind_dn == state.settings.bind_dn &&
      next.bind_pw_file == state.settings.bind_pw_file)
    return;
  state.settings = next;
  state.service.reset();
  close_directory_listings();
}
