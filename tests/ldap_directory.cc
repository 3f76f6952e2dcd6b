#include "ldap_directory.h"

#include <cstdlib>

#include "directory.h"
#include "platform/platform.h"

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};

// The DNs of the entries one level below parent that match filter.
bool children(LDAP* ld, const std::string& parent, const char* filter,
              std::vector<std::string>* dns, std::string* error) {
  const char* no_attributes[] = {"1.1", nullptr};
  LDAPMessage* raw = nullptr;
  const int rc = ldap_search_ext_s(ld, parent.c_str(), LDAP_SCOPE_ONELEVEL, filter,
                                   const_cast<char**>(no_attributes), 0, nullptr, nullptr, nullptr,
                                   LDAP_NO_LIMIT, &raw);
  const std::unique_ptr<LDAPMessage, MessageFree> result(raw);
  if (rc != LDAP_SUCCESS) {
    *error = "search of " + parent + ": " + ldap_err2string(rc);
    return false;
  }
  for (LDAPMessage* entry = ldap_first_entry(ld, raw); entry != nullptr;
       entry = ldap_next_entry(ld, entry)) {
    char* dn = ldap_get_dn(ld, entry);
    if (dn != nullptr) dns->push_back(dn);
    ldap_memfree(dn);
  }
  return true;
}

}  // namespace

std::optional<TestDirectory> test_directory() {
  TestDirectory d{env("OSTREL_TEST_LDAP_URI"), env("OSTREL_TEST_LDAPI_URI"),
                  env("OSTREL_TEST_LDAP_BASE"), env("OSTREL_TEST_LDAP_BIND_DN"),
                  env("OSTREL_TEST_LDAP_BIND_PW_FILE")};
  if (d.uri.empty()) return std::nullopt;
  return d;
}

std::vector<std::string> directory_settings(const TestDirectory& directory,
                                            const std::string& uri) {
  return {"account_db " + uri, "ldap_base " + directory.base, "ldap_bind_dn " + directory.bind_dn,
          "ldap_bind_pw_file " + directory.bind_pw_file};
}

void use_directory(const TestDirectory& directory) {
  platform_set_account_db(directory.uri.c_str());
  platform_set_directory_options(directory.base.c_str(), directory.bind_dn.c_str(),
                                 directory.bind_pw_file.c_str());
}

bool reset_directory(const TestDirectory& directory, std::string* error) {
  // Of a replicated pair, the first server: the other replicates what it is told.
  const std::string first = directory.uri.substr(0, directory.uri.find(' '));
  const migrate::Connection ld = migrate::connect_directory(
      {first, directory.base, directory.bind_dn, directory.bind_pw_file}, error);
  if (!ld) return false;

  std::vector<std::string> groups;
  if (!children(ld.get(), "ou=groups," + directory.base, "(objectClass=groupOfNames)", &groups,
                error))
    return false;
  std::string placeholder = "cn=nobody,ou=system," + directory.base;
  berval value{static_cast<ber_len_t>(placeholder.size()), placeholder.data()};
  berval* values[] = {&value, nullptr};
  char member[] = "member";
  LDAPMod replace{};
  replace.mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
  replace.mod_type = member;
  replace.mod_bvalues = values;
  LDAPMod* mods[] = {&replace, nullptr};
  for (const std::string& group : groups) {
    const int rc = ldap_modify_ext_s(ld.get(), group.c_str(), mods, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      *error = "reset of " + group + ": " + ldap_err2string(rc);
      return false;
    }
  }

  std::vector<std::string> accounts;
  if (!children(ld.get(), "ou=users," + directory.base, "(objectClass=netUserAccount)", &accounts,
                error))
    return false;
  for (const std::string& account : accounts) {
    const int rc = ldap_delete_ext_s(ld.get(), account.c_str(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_OBJECT) {
      *error = "delete of " + account + ": " + ldap_err2string(rc);
      return false;
    }
  }
  return true;
}
