#include "directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace migrate {
namespace {

constexpr int kNetworkTimeoutSeconds = 10;
constexpr int kOperationTimeoutSeconds = 60;

struct UrlFree {
  void operator()(LDAPURLDesc* url) const { ldap_free_urldesc(url); }
};

// The password is wiped whatever way the bind goes.
struct Secret {
  std::string text;
  ~Secret() {
    if (!text.empty()) explicit_bzero(text.data(), text.size());
  }
};

bool read_password_file(const std::string& path, Secret* secret, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = "cannot open the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 077) != 0) {
    close(fd);
    *error = "the password file " + path + " must be a regular file only its owner can read";
    return false;
  }
  secret->text.reserve(static_cast<std::size_t>(info.st_size) + 1);
  char buffer[256];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    secret->text.append(buffer, static_cast<std::size_t>(got));
  }
  explicit_bzero(buffer, sizeof buffer);
  close(fd);
  if (got < 0) {
    *error = "cannot read the password file " + path;
    return false;
  }
  if (!secret->text.empty() && secret->text.back() == '\n') secret->text.pop_back();
  if (!secret->text.empty() && secret->text.back() == '\r') secret->text.pop_back();
  if (secret->text.empty()) {
    *error = "the password file " + path + " is empty";
    return false;
  }
  return true;
}

bool is_loopback(const char* host) {
  return host == nullptr || *host == '\0' || std::strcmp(host, "127.0.0.1") == 0 ||
         std::strcmp(host, "::1") == 0 || std::strcmp(host, "localhost") == 0;
}

std::string ldap_text(int code) {
  return std::string(ldap_err2string(code)) + " (" + std::to_string(code) + ")";
}

// The values of one attribute, as byte strings (so that an empty text is kept).
struct Attribute {
  std::string type;
  std::vector<std::string> values;
  std::vector<berval> bervals;
  std::vector<berval*> pointers;
  LDAPMod mod{};
};

// A list of attributes laid out for ldap_add_ext_s / ldap_modify_ext_s; each attribute
// is held by pointer so that the addresses handed to libldap stay put.
struct ModList {
  std::vector<std::unique_ptr<Attribute>> attributes;
  std::vector<LDAPMod*> pointers;
};

void add_attribute(ModList* list, const std::string& type, std::vector<std::string> values) {
  auto attribute = std::make_unique<Attribute>();
  attribute->type = type;
  attribute->values = std::move(values);
  for (std::string& value : attribute->values) {
    attribute->bervals.push_back({static_cast<ber_len_t>(value.size()), value.data()});
  }
  for (berval& value : attribute->bervals) attribute->pointers.push_back(&value);
  attribute->pointers.push_back(nullptr);
  attribute->mod.mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
  attribute->mod.mod_type = attribute->type.data();
  attribute->mod.mod_bvalues = attribute->pointers.data();
  list->attributes.push_back(std::move(attribute));
}

LDAPMod** mod_array(ModList* list) {
  list->pointers.clear();
  for (auto& attribute : list->attributes) list->pointers.push_back(&attribute->mod);
  list->pointers.push_back(nullptr);
  return list->pointers.data();
}

std::string account_dn(const std::string& name, const std::string& base) {
  return "uid=" + escape_dn_value(name) + ",ou=users," + base;
}

std::string group_dn(const std::string& name, const std::string& base) {
  return "cn=" + escape_dn_value(name) + ",ou=groups," + base;
}

}  // namespace

bool is_directory_uri(std::string_view text) {
  return text.starts_with("ldap://") || text.starts_with("ldaps://") ||
         text.starts_with("ldapi://");
}

Connection connect_directory(const Target& target, std::string* error) {
  if (!is_directory_uri(target.uri)) {
    *error = "not a directory URI: " + target.uri;
    return Connection();
  }
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(target.uri.c_str(), &parsed) != LDAP_URL_SUCCESS) {
    *error = "not a valid directory URI: " + target.uri;
    return Connection();
  }
  const std::unique_ptr<LDAPURLDesc, UrlFree> url(parsed);
  const bool needs_tls = std::strcmp(url->lud_scheme, "ldap") == 0 && !is_loopback(url->lud_host);

  Secret password;
  if (!read_password_file(target.bind_pw_file, &password, error)) return Connection();

  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, target.uri.c_str());
  Connection ld(raw);
  if (rc != LDAP_SUCCESS || !ld) {
    *error = "cannot use " + target.uri + ": " + ldap_text(rc);
    return Connection();
  }
  const int version = LDAP_VERSION3;
  timeval network{kNetworkTimeoutSeconds, 0};
  timeval operation{kOperationTimeoutSeconds, 0};
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &network);
  ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &operation);
  if (needs_tls) {
    // A simple bind sends the password as it is: never over an open network.
    rc = ldap_start_tls_s(ld.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      *error = "the directory refused StartTLS: " + ldap_text(rc);
      return Connection();
    }
  }
  berval credentials{static_cast<ber_len_t>(password.text.size()), password.text.data()};
  rc = ldap_sasl_bind_s(ld.get(), target.bind_dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr,
                        nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    *error = "cannot bind as " + target.bind_dn + ": " + ldap_text(rc);
    return Connection();
  }
  return ld;
}

std::string escape_dn_value(std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    const bool edge_blank = c == ' ' && (i == 0 || i + 1 == value.size());
    if (c == '\0' || c < 0x20 || c == 0x7F) {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (std::strchr(",+\"\\<>;=", c) != nullptr || edge_blank || (i == 0 && c == '#')) {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string directory_password(const std::string& hash) {
  // The store's own argon2id, or argon2i brought in ({ARGON2I}$argon2i$...).
  if (hash.starts_with("$argon2")) return "{ARGON2}" + hash;
  if (hash.starts_with("{ARGON2I}$argon2i$")) return "{ARGON2}" + hash.substr(9);
  // A crypt(3) hash brought in is in the directory's own form already.
  if (hash.starts_with("{CRYPT}")) return hash;
  return {};
}

int add_account(LDAP* ld, const std::string& base, const StoredAccount& account) {
  ModList list;
  add_attribute(&list, "objectClass", {"inetOrgPerson", "netUserAccount"});
  add_attribute(&list, "uid", {account.name});
  add_attribute(&list, "cn", {account.name});
  add_attribute(&list, "sn", {account.name});
  if (account.hash) add_attribute(&list, "userPassword", {directory_password(*account.hash)});
  add_attribute(&list, "netUserPriv", {std::to_string(account.priv)});
  add_attribute(&list, "netUserFlags", {std::to_string(account.flags)});
  if (account.home_dir) add_attribute(&list, "netUserHomeDir", {*account.home_dir});
  if (account.comment) add_attribute(&list, "netUserComment", {*account.comment});
  if (account.script_path) add_attribute(&list, "netUserScriptPath", {*account.script_path});
  return ldap_add_ext_s(ld, account_dn(account.name, base).c_str(), mod_array(&list), nullptr,
                        nullptr);
}

int add_membership(LDAP* ld, const std::string& base, const Membership& membership) {
  const std::string group = group_dn(membership.group, base);
  const std::string member = account_dn(membership.account, base);
  ModList change;
  add_attribute(&change, "member", {member});
  const int rc = ldap_modify_ext_s(ld, group.c_str(), mod_array(&change), nullptr, nullptr);
  if (rc != LDAP_NO_SUCH_OBJECT) return rc;
  // A group of the store the directory lacks: made with this account as its first member.
  ModList entry;
  add_attribute(&entry, "objectClass", {"groupOfNames"});
  add_attribute(&entry, "cn", {membership.group});
  add_attribute(&entry, "member", {member});
  return ldap_add_ext_s(ld, group.c_str(), mod_array(&entry), nullptr, nullptr);
}

}  // namespace migrate
