#include "platform/posix/ad/ad_connect.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/posix/common/hashing.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

struct DomainState {
  std::vector<std::string> servers;  // the DCs, in the order given
  std::size_t current = 0;           // the DC tried first by the next connection
  DirectorySettings settings;        // base, service account (uri unused)
  std::string ca_file;
  LdapPtr service, logon;
  unsigned serial = 0;
};

std::mutex domain_mutex;
DomainState state;

bool is_connection_failure(int ldap_result) {
  return ldap_result == LDAP_SERVER_DOWN || ldap_result == LDAP_TIMEOUT ||
         ldap_result == LDAP_CONNECT_ERROR;
}

void close_connections() {
  state.service.reset();
  state.logon.reset();
  close_domain_listings();
}

// Takes up the directory settings (base, service account) when they changed.
void refresh_settings() {
  DirectorySettings now;
  {
    auto lock = lock_directory();
    now = directory_settings();
  }
  if (now.base == state.settings.base && now.bind_dn == state.settings.bind_dn &&
      now.bind_pw_file == state.settings.bind_pw_file)
    return;
  state.settings = now;
  close_connections();
}

int set_options(LDAP* ld, const std::string& ca_file) {
  const int version = LDAP_VERSION3;
  const int demand = LDAP_OPT_X_TLS_DEMAND;
  const int client = 0;
  int rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
  // A DC that cannot prove its name gets no password.
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
  if (rc == LDAP_OPT_SUCCESS && !ca_file.empty())
    rc = ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca_file.c_str());
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client);
  return rc;
}

// One DC: ldaps:// with TLS from the start, ldap:// with StartTLS or nothing.
DWORD open_server(const std::string& uri, LdapPtr& out) {
  const Transport transport = transport_for(uri);
  if (transport == Transport::kInvalid || strncasecmp(uri.c_str(), "ldapi:", 6) == 0)
    return NERR_InvalidComputer;
  const OpenResult opened = open_connection(
      uri, transport != Transport::kTls, [](LDAP* ld) { return set_options(ld, state.ca_file); },
      out);
  switch (opened.step) {
    case OpenStep::kInitialize:
      return NERR_InvalidComputer;
    case OpenStep::kOptions:
      return NERR_InternalError;
    case OpenStep::kConnect:
      return ERROR_BAD_NETPATH;
    case OpenStep::kStartTls:
    case OpenStep::kHandshake:
      // A DC that went away or stopped answering is an outage; a refused StartTLS, or a
      // certificate that does not check out, is a refusal.
      return opened.ldap_result == LDAP_SERVER_DOWN || opened.ldap_result == LDAP_TIMEOUT
                 ? ERROR_BAD_NETPATH
                 : ERROR_ACCESS_DENIED;
    case OpenStep::kDone:
      break;
  }
  return 0;
}

std::vector<std::string> split_uris(const std::string& list) {
  std::vector<std::string> uris;
  std::size_t at = 0;
  while ((at = list.find_first_not_of(" \t", at)) != std::string::npos) {
    const std::size_t end = std::min(list.find_first_of(" \t", at), list.size());
    uris.push_back(list.substr(at, end - at));
    at = end;
  }
  return uris;
}

}  // namespace

BackendLock lock_domain() {
  BackendLock lock(domain_mutex);
  refresh_settings();
  return lock;
}

DWORD open_domain(LdapPtr& out) {
  if (state.servers.empty()) return NERR_InvalidComputer;
  DWORD code = ERROR_BAD_NETPATH;
  for (std::size_t tried = 0; tried < state.servers.size(); ++tried) {
    code = open_server(state.servers[state.current], out);
    if (code != ERROR_BAD_NETPATH) return code;
    state.current = (state.current + 1) % state.servers.size();
  }
  return code;
}

DWORD connect_domain_service(LdapPtr& out) {
  const DirectorySettings& settings = state.settings;
  if (settings.base.empty() || settings.bind_dn.empty()) return NERR_InvalidComputer;
  // A password file another user could have planted, changed or read is refused; it is
  // read before anything is sent, and wiped when bound.
  SecretText password;
  if (const DWORD code = read_bind_password(settings.bind_pw_file, password); code != 0)
    return code;
  LdapPtr ld;
  if (const DWORD code = open_domain(ld); code != 0) return code;
  berval credentials{static_cast<ber_len_t>(password.text.size()), password.text.data()};
  limit_next_step(ld.get());
  const int rc = ldap_sasl_bind_s(ld.get(), settings.bind_dn.c_str(), LDAP_SASL_SIMPLE,
                                  &credentials, nullptr, nullptr, nullptr);
  if (is_connection_failure(rc)) return ERROR_BAD_NETPATH;
  // A service account the DC does not take is a refusal, not a logon failure.
  if (rc != LDAP_SUCCESS) return ERROR_ACCESS_DENIED;
  out = std::move(ld);
  return 0;
}

std::string diagnostic_of(LDAP* ld) {
  char* text = nullptr;
  std::string result;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &text) == LDAP_OPT_SUCCESS &&
      text != nullptr)
    result = text;
  if (text != nullptr) ldap_memfree(text);
  return result;
}

DWORD run_on_domain(const std::function<int(LDAP*)>& op, int& ldap_result,
                    std::string* diagnostic) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = false;
    if (state.service == nullptr) {
      if (const DWORD code = connect_domain_service(state.service); code != 0) return code;
      ++state.serial;
      fresh = true;
    }
    limit_next_step(state.service.get());
    ldap_result = op(state.service.get());
    if (diagnostic != nullptr) *diagnostic = diagnostic_of(state.service.get());
    if (is_connection_failure(ldap_result)) {
      state.service.reset();
      if (state.servers.size() > 1) state.current = (state.current + 1) % state.servers.size();
      // A connection that went away is tried once more; a DC that stopped answering may
      // still carry the request out, so that one is not repeated.
      if (ldap_result == LDAP_SERVER_DOWN && !fresh) continue;
      return ERROR_BAD_NETPATH;
    }
    return 0;
  }
  return ERROR_BAD_NETPATH;
}

DWORD bind_on_logon_connection(const std::string& dn, std::string_view password, int& ldap_result,
                               std::string& diagnostic) {
  berval credentials{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool fresh = state.logon == nullptr;
    if (fresh) {
      if (const DWORD code = open_domain(state.logon); code != 0) return code;
    }
    limit_next_step(state.logon.get());
    ldap_result = ldap_sasl_bind_s(state.logon.get(), dn.c_str(), LDAP_SASL_SIMPLE, &credentials,
                                   nullptr, nullptr, nullptr);
    diagnostic = diagnostic_of(state.logon.get());
    if (!is_connection_failure(ldap_result)) return 0;
    state.logon.reset();
    if (ldap_result != LDAP_SERVER_DOWN || fresh) return ERROR_BAD_NETPATH;
  }
  return ERROR_BAD_NETPATH;
}

std::string domain_base() {
  return state.settings.base;
}

std::string domain_dn() {
  // The DC= components at the end of the base name the domain.
  const std::string& base = state.settings.base;
  std::size_t at = base.size();
  for (std::size_t i = 0; i < base.size(); ++i) {
    const bool starts = i == 0 || (base[i - 1] == ',' && (i < 2 || base[i - 2] != '\\'));
    if (starts && strncasecmp(base.c_str() + i, "DC=", 3) == 0) {
      at = i;
      break;
    }
  }
  return at < base.size() ? base.substr(at) : base;
}

std::string builtin_group_dn(const std::string& name) {
  return "CN=" + escape_dn_value(name) + ",CN=Builtin," + domain_dn();
}

bool names_domain_controller(const std::string& key) {
  std::lock_guard<std::mutex> lock(domain_mutex);
  for (const std::string& uri : state.servers) {
    LDAPURLDesc* parsed = nullptr;
    if (ldap_url_parse(uri.c_str(), &parsed) != LDAP_URL_SUCCESS) continue;
    std::string host = parsed->lud_host != nullptr ? parsed->lud_host : "";
    ldap_free_urldesc(parsed);
    for (char& c : host) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!host.empty() && (host == key || host.rfind(key + ".", 0) == 0)) return true;
  }
  return false;
}

unsigned domain_connection_serial() {
  return state.serial;
}

void set_domain_uri(const std::string& uris) {
  std::lock_guard<std::mutex> lock(domain_mutex);
  const std::vector<std::string> servers = split_uris(uris);
  if (servers == state.servers) return;
  state.servers = servers;
  state.current = 0;
  close_connections();
}

}  // namespace ostrel_posix

void platform_set_tls_ca_file(const char* ca_file) {
  using namespace ostrel_posix;
  std::lock_guard<std::mutex> lock(domain_mutex);
  const std::string next = ca_file != nullptr ? ca_file : "";
  if (next == state.ca_file) return;
  state.ca_file = next;
  close_connections();
}
