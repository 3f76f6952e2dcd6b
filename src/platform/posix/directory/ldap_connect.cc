#include "platform/posix/directory/ldap_connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openldap.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/trusted_files.h"
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

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kDefaultStepLimit{kDirectoryTimeoutSeconds * 1000};
std::atomic<milliseconds::rep> step_limit_ms{kDefaultStepLimit.count()};

// The budget of the platform call in progress on this thread, when one runs.
thread_local bool budget_running = false;
thread_local Clock::time_point budget_end;
thread_local timeval step_timeval;

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
  const char* refusal = nullptr;
  const int fd = open_trusted_descriptor(path.c_str(), FileUse::kSecret, &refusal);
  if (fd < 0) return refuse_file(path, refusal);
  password.text.reserve(kMaxBindPassword + 1);
  password.text.resize(kMaxBindPassword + 1);
  std::size_t got = 0;
  bool read_ok = true;
  while (got < password.text.size()) {
    const ssize_t n = read(fd, password.text.data() + got, password.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_ok = false;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  const bool too_long = got > kMaxBindPassword;
  password.text.resize(read_ok && !too_long ? got : 0);  // within capacity: no copy is left
  if (!password.text.empty() && password.text.back() == '\n') password.text.pop_back();
  if (!password.text.empty() && password.text.back() == '\r') password.text.pop_back();
  if (!read_ok) return refuse_file(path, "cannot be read");
  if (too_long) return refuse_file(path, "too long for a password");
  // An empty password would bind anonymously.
  if (password.text.empty()) return refuse_file(path, "empty");
  return 0;
}

BackendLock lock_directory() {
  return BackendLock(directory_mutex);
}

const DirectorySettings& directory_settings() {
  return state.settings;
}

CallBudget::CallBudget() : owner_(!budget_running) {
  if (!owner_) return;
  budget_running = true;
  budget_end = Clock::now() + kCallBudgetSteps * step_limit();
}

CallBudget::CallBudget(CallBudget&& other) noexcept : owner_(other.owner_) {
  other.owner_ = false;
}

CallBudget::~CallBudget() {
  end();
}

void CallBudget::end() {
  if (owner_) budget_running = false;
  owner_ = false;
}

milliseconds step_limit() {
  return milliseconds(step_limit_ms.load(std::memory_order_relaxed));
}

void set_step_limit_for_tests(milliseconds limit) {
  step_limit_ms.store(limit.count() > 0 ? limit.count() : kDefaultStepLimit.count());
}

milliseconds step_time(milliseconds longest) {
  milliseconds time = longest;
  if (budget_running)
    time = std::min(time, std::chrono::duration_cast<milliseconds>(budget_end - Clock::now()));
  return std::max(time, milliseconds(1));
}

timeval to_timeval(milliseconds time) {
  return timeval{static_cast<time_t>(time.count() / 1000),
                 static_cast<suseconds_t>(time.count() % 1000 * 1000)};
}

timeval* operation_timeout() {
  step_timeval = to_timeval(step_time());
  return &step_timeval;
}

void limit_next_step(LDAP* ld, milliseconds longest) {
  const timeval time = to_timeval(step_time(longest));
  ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &time);
  ldap_set_option(ld, LDAP_OPT_TIMEOUT, &time);
  int fd = -1;
  if (ldap_get_option(ld, LDAP_OPT_DESC, &fd) == LDAP_OPT_SUCCESS && fd >= 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &time, sizeof time);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &time, sizeof time);
  }
}

namespace {

// Waits until fd can be written (a connection made or refused) within time: true when
// it was made.
bool connection_made(int fd, milliseconds time) {
  const Clock::time_point end = Clock::now() + time;
  pollfd wait{fd, POLLOUT, 0};
  int ready = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    ready = poll(&wait, 1, static_cast<int>(std::max<milliseconds::rep>(left.count(), 0)));
    if (ready >= 0 || errno != EINTR) break;
  }
  int error = 0;
  socklen_t size = sizeof error;
  return ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// A TCP connection to the URL's host, each address tried within the step's time: the
// socket (non-blocking), or -1.
int connect_tcp(const LDAPURLDesc& url, bool tls) {
  // No host means the library's default, which is this machine.
  const char* host =
      url.lud_host != nullptr && url.lud_host[0] != '\0' ? url.lud_host : "localhost";
  const int port = url.lud_port > 0 ? url.lud_port : (tls ? LDAPS_PORT : LDAP_PORT);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const int fd = socket(at->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    // In progress (or interrupted, which goes on the same way): made when it can be written.
    const bool made =
        connect(fd, at->ai_addr, at->ai_addrlen) == 0 ||
        ((errno == EINPROGRESS || errno == EINTR) && connection_made(fd, step_time()));
    if (made) {
      // As the library sets its own: small requests go out at once, a dead peer shows.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
      return fd;
    }
    close(fd);
  }
  return -1;
}

}  // namespace

OpenResult open_connection(const std::string& uri, bool start_tls,
                           const std::function<int(LDAP*)>& configure, LdapPtr& out) {
  ignore_broken_pipes();
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(uri.c_str(), &parsed) != LDAP_URL_SUCCESS)
    return {OpenStep::kInitialize, LDAP_PARAM_ERROR};
  const std::unique_ptr<LDAPURLDesc, UrlCloser> url(parsed);
  const bool local = url->lud_scheme != nullptr && strcasecmp(url->lud_scheme, "ldapi") == 0;
  const bool tls = url->lud_scheme != nullptr && strcasecmp(url->lud_scheme, "ldaps") == 0;
  LDAP* raw = nullptr;
  LdapPtr ld;
  if (local) {
    // A local socket: the library's connect, within the network timeout.
    const int rc = ldap_initialize(&raw, uri.c_str());
    ld.reset(raw);
    if (rc != LDAP_SUCCESS || ld == nullptr)
      return {OpenStep::kInitialize, rc != LDAP_SUCCESS ? rc : LDAP_NO_MEMORY};
    if (configure(ld.get()) != LDAP_OPT_SUCCESS) return {OpenStep::kOptions, LDAP_OTHER};
    limit_next_step(ld.get());
    if (const int connected = ldap_connect(ld.get()); connected != LDAP_SUCCESS)
      return {OpenStep::kConnect, connected};
    out = std::move(ld);
    return {OpenStep::kDone, LDAP_SUCCESS};
  }
  const int fd = connect_tcp(*url, tls);
  if (fd < 0) return {OpenStep::kConnect, LDAP_SERVER_DOWN};
  const int rc = ldap_init_fd(fd, LDAP_PROTO_TCP, uri.c_str(), &raw);
  ld.reset(raw);
  if (rc != LDAP_SUCCESS || ld == nullptr) {
    if (ld == nullptr) close(fd);
    return {OpenStep::kInitialize, rc != LDAP_SUCCESS ? rc : LDAP_NO_MEMORY};
  }
  // The handshake waits in poll within the network timeout only in the library's
  // asynchronous mode (it spins otherwise); the connection is already made, so that mode
  // changes nothing else.
  if (configure(ld.get()) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_ON) != LDAP_OPT_SUCCESS)
    return {OpenStep::kOptions, LDAP_OTHER};
  limit_next_step(ld.get());
  if (start_tls && !tls) {
    // StartTLS as ldap_start_tls_s asks it, in two steps, so that a refusal is told apart
    // from a failed handshake.
    char* oid = nullptr;
    berval* data = nullptr;
    const int started = ldap_extended_operation_s(ld.get(), LDAP_EXOP_START_TLS, nullptr, nullptr,
                                                  nullptr, &oid, &data);
    ldap_memfree(oid);
    ber_bvfree(data);
    if (started != LDAP_SUCCESS) return {OpenStep::kStartTls, started};
  }
  if (start_tls || tls) {
    limit_next_step(ld.get());
    if (const int shaken = ldap_install_tls(ld.get()); shaken != LDAP_SUCCESS)
      return {OpenStep::kHandshake, shaken};
  }
  out = std::move(ld);
  return {OpenStep::kDone, LDAP_SUCCESS};
}

namespace {

// A connection to one server, connected (so that a server that is down shows at once) and
// with the transport's TLS in place: 0 or a Windows code.
DWORD open_server(const std::string& uri, LdapPtr& out) {
  const Transport transport = transport_for(uri);
  if (transport == Transport::kInvalid) return NERR_InvalidComputer;
  LdapPtr ld;
  const OpenResult opened = open_connection(
      uri, transport == Transport::kStartTls,
      [transport](LDAP* handle) { return set_options(handle, transport); }, ld);
  switch (opened.step) {
    case OpenStep::kInitialize:
      return directory_code(opened.ldap_result, DirectoryCall::kInitialize);
    case OpenStep::kOptions:
      return NERR_InternalError;
    case OpenStep::kConnect:
      return directory_code(opened.ldap_result, DirectoryCall::kAccount);
    case OpenStep::kStartTls:
    case OpenStep::kHandshake: {
      // Refused or failed StartTLS ends here: the password never travels in clear. A
      // server that stopped answering is an outage, as is a failed handshake on ldaps://.
      const DWORD code = directory_code(opened.ldap_result, DirectoryCall::kAccount);
      if (transport == Transport::kTls) return ERROR_BAD_NETPATH;
      return code == ERROR_BAD_NETPATH ? code : ERROR_ACCESS_DENIED;
    }
    case OpenStep::kDone:
      break;
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
      limit_next_step(ld.get());
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
    limit_next_step(state.service.get());
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
