#include "platform/posix/directory/ldap_connect.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/posix/common/backend.h"
#include "platform/posix/directory/ldap_codes.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

// The longest password file read; a bigger file is not a password.
constexpr std::size_t kMaxBindPassword = 4096;

// Bytes read from a connection at once. Without a read-ahead layer the library reads each
// message in two reads and a poll; with it, one read takes in a whole page of entries.
constexpr ber_len_t kReadAheadBytes = 64 * 1024;

struct DirectoryState {
  DirectorySettings settings;
  std::vector<std::string> servers;  // the URIs of settings.uri, in the order given
  std::size_t current = 0;           // the server in use: tried first by the next connection
  LdapPtr service;
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

}  // namespace

void ignore_broken_pipes() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      signal(SIGPIPE, SIG_IGN);
  });
}

namespace {

// The URIs of a list separated by blanks; empty when any of them is not one LDAP URI.
std::vector<std::string> split_servers(const std::string& list) {
  std::vector<std::string> servers;
  std::size_t at = 0;
  while ((at = list.find_first_not_of(" \t", at)) != std::string::npos) {
    const std::size_t end = std::min(list.find_first_of(" \t", at), list.size());
    servers.push_back(list.substr(at, end - at));
    if (transport_for(servers.back()) == Transport::kInvalid) return {};
    at = end;
  }
  return servers;
}

// The server at index stopped answering: the next connection tries the one after it first.
void leave_server(std::size_t index) {
  if (!state.servers.empty() && state.current == index)
    state.current = (index + 1) % state.servers.size();
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
  // One URI only: each server of a list is judged on its own, so that a clear-text host
  // cannot hide behind a loopback one.
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

namespace {

// A connection to one server, connected (so that a server that is down shows at once) and
// with the transport's TLS in place: 0 or a Windows code.
DWORD open_server(const std::string& uri, LdapPtr& out) {
  const Transport transport = transport_for(uri);
  if (transport == Transport::kInvalid) return NERR_InvalidComputer;
  ignore_broken_pipes();
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, uri.c_str());
  LdapPtr ld(raw);
  if (rc != LDAP_SUCCESS || ld == nullptr)
    return directory_code(rc != LDAP_SUCCESS ? rc : LDAP_NO_MEMORY, DirectoryCall::kInitialize);
  if (set_options(ld.get(), transport) != LDAP_OPT_SUCCESS) return NERR_InternalError;
  rc = ldap_connect(ld.get());
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
  if (transport == Transport::kStartTls) {
    // Refused or failed StartTLS ends here: the password never travels in clear.
    rc = ldap_start_tls_s(ld.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      const DWORD code = directory_code(rc, DirectoryCall::kAccount);
      return code == ERROR_BAD_NETPATH ? code : ERROR_ACCESS_DENIED;
    }
  }
  // Above TLS, where there is TLS: the layer buffers what the library would read anyway.
  Sockbuf* socket_buffer = nullptr;
  ber_len_t read_ahead = kReadAheadBytes;
  if (ldap_get_option(ld.get(), LDAP_OPT_SOCKBUF, &socket_buffer) != LDAP_OPT_SUCCESS ||
      socket_buffer == nullptr ||
      ber_sockbuf_add_io(socket_buffer, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_APPLICATION,
                         &read_ahead) != 0)
    return NERR_InternalError;
  out = std::move(ld);
  return 0;
}

bool is_connection_failure(int ldap_result) {
  return ldap_result == LDAP_SERVER_DOWN || ldap_result == LDAP_TIMEOUT ||
         ldap_result == LDAP_CONNECT_ERROR;
}

}  // namespace

DWORD open_directory(const DirectorySettings& settings, LdapPtr& out) {
  // The settings in force keep the server in use; others (a test's) start at their first.
  const bool in_force = settings.uri == state.settings.uri;
  const std::vector<std::string> given =
      in_force ? std::vector<std::string>{} : split_servers(settings.uri);
  const std::vector<std::string>& servers = in_force ? state.servers : given;
  if (servers.empty()) return NERR_InvalidComputer;
  // The server in use first, then the others in turn: one that is down costs one
  // connection attempt, within the network timeout.
  DWORD code = ERROR_BAD_NETPATH;
  for (std::size_t tried = 0; tried < servers.size(); ++tried) {
    const std::size_t index = in_force ? state.current : tried;
    code = open_server(servers[index], out);
    if (code != ERROR_BAD_NETPATH) return code;
    if (in_force) leave_server(index);
  }
  return code;
}

DWORD connect_service(const DirectorySettings& settings, LdapPtr& out) {
  if (settings.base.empty()) return NERR_InvalidComputer;
  // Read before anything is sent: a password file others can read is refused at once.
  SecretText password;  // wiped when the service connection is had
  if (!settings.bind_dn.empty()) {
    if (const DWORD code = read_bind_password(settings.bind_pw_file, password); code != 0)
      return code;
  }
  berval credentials{static_cast<ber_len_t>(password.text.size()), password.text.data()};
  for (std::size_t tried = 0; tried < std::max<std::size_t>(state.servers.size(), 1); ++tried) {
    LdapPtr ld;
    if (const DWORD code = open_directory(settings, ld); code != 0) return code;
    if (!settings.bind_dn.empty()) {
      const int rc = ldap_sasl_bind_s(ld.get(), settings.bind_dn.c_str(), LDAP_SASL_SIMPLE,
                                      &credentials, nullptr, nullptr, nullptr);
      // A server that accepts connections but does not answer: the next one is tried.
      if (is_connection_failure(rc)) {
        leave_server(state.current);
        continue;
      }
      // A service account the directory does not accept is a refusal, not a logon failure.
      if (rc == LDAP_INVALID_CREDENTIALS) return ERROR_ACCESS_DENIED;
      if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
    }
    out = std::move(ld);
    return 0;
  }
  return ERROR_BAD_NETPATH;
}

DWORD run_on_service(const std::function<int(LDAP*)>& op, int& ldap_result) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = false;
    if (state.service == nullptr) {
      if (const DWORD code = connect_service(state.settings, state.service); code != 0) return code;
      fresh = true;
    }
    ldap_result = op(state.service.get());
    if (is_connection_failure(ldap_result)) {
      state.service.reset();  // its state is unknown; the next call starts afresh
      // The next command goes to another server, where there is one.
      leave_server(state.current);
      // A connection that went away (a server that closed it, or died) is tried once more,
      // on the next server when there are several. A server that stopped answering may
      // still carry the request out later: that one is answered as failed, not repeated.
      if (ldap_result == LDAP_SERVER_DOWN && (!fresh || state.servers.size() > 1)) continue;
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
  state.servers = split_servers(uri);
  state.current = 0;
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
