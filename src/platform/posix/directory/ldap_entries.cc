#include "platform/posix/directory/ldap_entries.h"

#include <cstdlib>
#include <string_view>

#include "platform/posix/common/utf.h"
#include "platform/posix/directory/ldap_connect.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

struct ValuesFree {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};
using Values = std::unique_ptr<berval*, ValuesFree>;

bool first_value(LDAP* ld, LDAPMessage* entry, const char* type, std::string& out) {
  const Values values(ldap_get_values_len(ld, entry, type));
  if (values == nullptr || values.get()[0] == nullptr) return false;
  const berval* value = values.get()[0];
  out.assign(value->bv_val != nullptr ? value->bv_val : "", value->bv_len);
  return true;
}

// True while the directory's password policy locks the account of entry.
bool locked(LDAP* ld, LDAPMessage* entry) {
  const LockState state = lock_state(ld, entry);
  if (state != LockState::kUnknown) return state == LockState::kLocked;
  // No judgement of the directory's: a lock time it keeps counts until it is removed.
  const Values values(ldap_get_values_len(ld, entry, "pwdAccountLockedTime"));
  return values != nullptr && values.get()[0] != nullptr;
}

struct DnFree {
  void operator()(LDAPDN dn) const { ldap_dnfree(dn); }
};

// The folded key of a UTF-8 name, empty when it has none.
std::string key_of(std::string_view name) {
  std::u16string wide;
  std::string key;
  if (!utf8_to_utf16(name, wide) || !name_key(wide, key)) key.clear();
  return key;
}

// The entry's own name: the value of its DN's first RDN when that is one uid value, as
// its uid attribute spells it (a replace gives the name a new case, not a new DN). A uid
// value the entry carries besides names no account.
bool entry_name(LDAP* ld, LDAPMessage* entry, std::string& name) {
  char* text = ldap_get_dn(ld, entry);
  if (text == nullptr) return false;
  LDAPDN raw = nullptr;
  const int rc = ldap_str2dn(text, &raw, LDAP_DN_FORMAT_LDAPV3);
  ldap_memfree(text);
  const std::unique_ptr<LDAPRDN, DnFree> dn(raw);
  if (rc != LDAP_SUCCESS || dn == nullptr || dn.get()[0] == nullptr) return false;
  const LDAPRDN rdn = dn.get()[0];
  if (rdn[0] == nullptr || rdn[1] != nullptr) return false;
  const LDAPAVA& ava = *rdn[0];
  if ((ava.la_flags & LDAP_AVA_BINARY) != 0 ||
      std::string_view(ava.la_attr.bv_val, ava.la_attr.bv_len) != "uid" ||
      ava.la_value.bv_val == nullptr)
    return false;
  name.assign(ava.la_value.bv_val, ava.la_value.bv_len);
  const std::string key = key_of(name);
  const Values values(ldap_get_values_len(ld, entry, "uid"));
  for (berval** value = values.get(); value != nullptr && *value != nullptr; ++value) {
    const std::string_view spelled((*value)->bv_val, (*value)->bv_len);
    if (!key.empty() && key_of(spelled) == key) {
      name.assign(spelled);
      break;
    }
  }
  return true;
}

DWORD number_value(LDAP* ld, LDAPMessage* entry, const char* type) {
  std::string text;
  if (!first_value(ld, entry, type, text) || text.empty()) return 0;
  char* end = nullptr;
  const long long number = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || number < 0 || number > 0xFFFFFFFFLL) return 0;
  return static_cast<DWORD>(number);
}

}  // namespace

const char* const kAccountAttributes[] = {"uid",
                                          "netUserPriv",
                                          "netUserFlags",
                                          "netUserHomeDir",
                                          "netUserComment",
                                          "netUserScriptPath",
                                          "pwdChangedTime",
                                          "createTimestamp",
                                          "pwdAccountLockedTime",
                                          nullptr};

Control usability_request() {
  LDAPControl* raw = nullptr;
  if (ldap_control_create(LDAP_CONTROL_X_ACCOUNT_USABILITY, 0, nullptr, 0, &raw) != LDAP_SUCCESS)
    return nullptr;
  return Control(raw);
}

int search(LDAP* ld, const std::string& base, int scope, const std::string& filter,
           const char* const* attributes, Message& result, LDAPControl** controls) {
  LDAPMessage* raw = nullptr;
  const int rc =
      ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(), const_cast<char**>(attributes), 0,
                        controls, nullptr, operation_timeout(), 0, &raw);
  result.reset(raw);
  return rc;
}

void Modifications::add(int op, const char* type, const std::vector<std::string_view>& texts) {
  std::vector<berval*>& pointers = value_lists.emplace_back();
  for (const std::string_view text : texts) {
    values.push_back(berval{static_cast<ber_len_t>(text.size()), const_cast<char*>(text.data())});
    pointers.push_back(&values.back());
  }
  pointers.push_back(nullptr);
  LDAPMod& mod = mods.emplace_back();
  mod.mod_op = op | LDAP_MOD_BVALUES;
  mod.mod_type = const_cast<char*>(type);
  mod.mod_bvalues = pointers.data();
  list.back() = &mod;
  list.push_back(nullptr);
}

void Modifications::add_number(int op, const char* type, unsigned long number) {
  add(op, type, {owned.emplace_back(std::to_string(number))});
}

void Modifications::drop_last() {
  if (list.size() < 2) return;
  list.pop_back();
  list.back() = nullptr;
}

LockState lock_state(LDAP* ld, LDAPMessage* entry) {
  LDAPControl** raw = nullptr;
  if (ldap_get_entry_controls(ld, entry, &raw) != LDAP_SUCCESS || raw == nullptr)
    return LockState::kUnknown;
  const Controls controls(raw);
  LDAPControl* usability = ldap_control_find(LDAP_CONTROL_X_ACCOUNT_USABILITY, raw, nullptr);
  int available = 0;
  LDAPAccountUsability state{};
  if (usability == nullptr ||
      ldap_parse_accountusability_control(ld, usability, &available, &state) != LDAP_SUCCESS)
    return LockState::kUnknown;
  return available == 0 && state.more_info.inactive != 0 ? LockState::kLocked : LockState::kUsable;
}

bool read_account(LDAP* ld, LDAPMessage* entry, std::string& name, UserFields& fields,
                  std::int64_t& password_set) {
  if (!entry_name(ld, entry, name) || name.empty()) return false;
  fields.priv = number_value(ld, entry, "netUserPriv");
  // The lock is the directory's state, never a stored flag.
  fields.flags = number_value(ld, entry, "netUserFlags") & ~UF_LOCKOUT;
  if (locked(ld, entry)) fields.flags |= UF_LOCKOUT;
  fields.has_home_dir = first_value(ld, entry, "netUserHomeDir", fields.home_dir);
  fields.has_comment = first_value(ld, entry, "netUserComment", fields.comment);
  fields.has_script_path = first_value(ld, entry, "netUserScriptPath", fields.script_path);
  std::string stamp;
  password_set = 0;
  if (!(first_value(ld, entry, "pwdChangedTime", stamp) &&
        parse_generalized_time(stamp, password_set)) &&
      first_value(ld, entry, "createTimestamp", stamp))
    parse_generalized_time(stamp, password_set);
  return true;
}

bool read_page_cookie(LDAP* ld, LDAPControl** controls, std::string& cookie, ber_int_t& count) {
  cookie.clear();
  count = 0;
  LDAPControl* paged = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
  if (paged == nullptr) return true;
  berval next{0, nullptr};
  if (ldap_parse_pageresponse_control(ld, paged, &count, &next) != LDAP_SUCCESS) return false;
  if (next.bv_val != nullptr) {
    cookie.assign(next.bv_val, next.bv_len);
    ber_memfree(next.bv_val);
  }
  return true;
}

}  // namespace ostrel_posix
