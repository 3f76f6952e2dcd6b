#include "platform/posix/ad/ad_entries.h"

#include <cctype>
#include <ctime>

#include "platform/posix/ad/ad_codes.h"
#include "platform/posix/ad/ad_connect.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/directory/ldap_entries.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

// sAMAccountType of a user account (not a computer, trust or group).
constexpr char kUserAccounts[] = "(sAMAccountType=805306368)";
// The primary groups whose members administer the domain: Domain Admins, Enterprise Admins.
constexpr long kAdminPrimaryGroups[] = {512, 519};
// Seconds between 1601 (the DC's time stamps) and 1970.
constexpr std::int64_t kEpochDifference = 11644473600;

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

struct ValuesFree {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};
using Values = std::unique_ptr<berval*, ValuesFree>;

Values values_of(LDAP* ld, LDAPMessage* entry, const char* type) {
  return Values(ldap_get_values_len(ld, entry, type));
}

// The first value of type as text; false when there is none.
bool text_of(LDAP* ld, LDAPMessage* entry, const char* type, std::string& text) {
  const Values values = values_of(ld, entry, type);
  if (values == nullptr || values.get()[0] == nullptr) return false;
  text.assign(values.get()[0]->bv_val, values.get()[0]->bv_len);
  return true;
}

long long number_of(LDAP* ld, LDAPMessage* entry, const char* type) {
  std::string text;
  if (!text_of(ld, entry, type, text)) return 0;
  return std::strtoll(text.c_str(), nullptr, 10);
}

struct AdminGroups {
  unsigned serial = 0;
  bool read = false;
  std::set<std::string> dns;
};
AdminGroups admin_cache;

}  // namespace

const char* const kDomainAccountAttributes[] = {
    "sAMAccountName", "userAccountControl", "msDS-User-Account-Control-Computed",
    "homeDirectory",  "description",        "scriptPath",
    "pwdLastSet",     "memberOf",           "primaryGroupID",
    nullptr};

std::string domain_account_filter(const std::string* name) {
  if (name == nullptr) return kUserAccounts;
  return std::string("(&") + kUserAccounts + "(sAMAccountName=" + escape_filter_value(*name) + "))";
}

DWORD admin_groups(const std::set<std::string>*& groups) {
  // The service connection is had first, so that the serial is the one in force.
  const std::string administrators = builtin_group_dn("Administrators");
  const std::string filter = "(&(objectClass=group)(memberOf:1.2.840.113556.1.4.1941:=" +
                             escape_filter_value(administrators) + "))";
  const char* const attributes[] = {"1.1", nullptr};
  Message result;
  LDAP* used = nullptr;
  int rc = 0;
  const auto read = [&](LDAP* ld) {
    used = ld;
    if (admin_cache.read && admin_cache.serial == domain_connection_serial()) return 0;
    return search(ld, domain_dn(), LDAP_SCOPE_SUBTREE, filter, attributes, result);
  };
  if (const DWORD code = run_on_domain(read, rc); code != 0) return code;
  if (rc != LDAP_SUCCESS) return domain_code(rc, "", DomainCall::kGroup);
  if (result != nullptr) {
    admin_cache.dns = {upper(administrators)};
    for (LDAPMessage* entry = ldap_first_entry(used, result.get()); entry != nullptr;
         entry = ldap_next_entry(used, entry)) {
      char* dn = ldap_get_dn(used, entry);
      if (dn == nullptr) return NERR_InternalError;
      admin_cache.dns.insert(upper(dn));
      ldap_memfree(dn);
    }
    admin_cache.read = true;
    admin_cache.serial = domain_connection_serial();
  }
  groups = &admin_cache.dns;
  return 0;
}

bool read_domain_account(LDAP* ld, LDAPMessage* entry, const std::set<std::string>& admins,
                         std::string& name, UserFields& fields, DWORD& password_age) {
  if (!text_of(ld, entry, "sAMAccountName", name)) return false;
  std::u16string ignored;
  const auto text = [&](const char* type, bool& present, std::string& value) {
    present = text_of(ld, entry, type, value);
    return !present || utf8_to_utf16(value, ignored);
  };
  if (!utf8_to_utf16(name, ignored) ||
      !text("homeDirectory", fields.has_home_dir, fields.home_dir) ||
      !text("description", fields.has_comment, fields.comment) ||
      !text("scriptPath", fields.has_script_path, fields.script_path))
    return false;
  const auto flags = static_cast<DWORD>(number_of(ld, entry, "userAccountControl"));
  // The lock as the DC judges it now: lockoutTime stays set after a lock ran out.
  const auto computed =
      static_cast<DWORD>(number_of(ld, entry, "msDS-User-Account-Control-Computed"));
  fields.flags = (flags & ~UF_LOCKOUT) | (computed & UF_LOCKOUT);

  fields.priv = USER_PRIV_USER;
  const long group = static_cast<long>(number_of(ld, entry, "primaryGroupID"));
  for (const long admin : kAdminPrimaryGroups)
    if (group == admin) fields.priv = USER_PRIV_ADMIN;
  const Values groups = values_of(ld, entry, "memberOf");
  for (berval** value = groups.get(); value != nullptr && *value != nullptr; ++value)
    if (admins.count(upper(std::string((*value)->bv_val, (*value)->bv_len))) != 0)
      fields.priv = USER_PRIV_ADMIN;

  // pwdLastSet counts 100 ns steps since 1601; 0 means the password must change.
  const long long set = number_of(ld, entry, "pwdLastSet") / 10000000 - kEpochDifference;
  const long long now = static_cast<long long>(std::time(nullptr));
  const long long age = set > 0 && now > set ? now - set : 0;
  password_age = age > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<DWORD>(age);
  return true;
}

}  // namespace ostrel_posix
