#include "platform/posix/directory/ldap_entries.h"

#include <strings.h>

#include <array>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "platform/posix/common/utf.h"
#include "platform/posix/directory/ldap_connect.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

struct BerFree {
  void operator()(BerElement* ber) const { ber_free(ber, 0); }  // the buffer is the message's
};
struct ValueListFree {
  void operator()(berval* values) const { ber_memfree(values); }  // the values are the message's
};
using ValueList = std::unique_ptr<berval, ValueListFree>;

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

// The value of a DN's first RDN when that is one uid value; false otherwise.
bool rdn_uid(berval& dn_text, std::string& name) {
  LDAPDN raw = nullptr;
  const int rc = ldap_bv2dn(&dn_text, &raw, LDAP_DN_FORMAT_LDAPV3);
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
  return true;
}

// The entry's own name (its DN's first RDN value) as its uid attribute spells it: a
// replace gives the name a new case, not a new DN. A uid value the entry carries besides
// names no account.
void spell_as_uid(const berval* values, std::string& name) {
  std::string key;
  bool keyed = false;
  for (const berval* value = values; value != nullptr && value->bv_val != nullptr; ++value) {
    const std::string_view spelled(value->bv_val, value->bv_len);
    if (spelled == name) return;  // the same bytes: the same key, and nothing to change
    if (!keyed) {
      key = key_of(name);
      keyed = true;
    }
    if (!key.empty() && key_of(spelled) == key) {
      name.assign(spelled);
      return;
    }
  }
}

DWORD number_value(std::string_view text) {
  if (text.empty()) return 0;
  const std::string copy(text);
  char* end = nullptr;
  const long long number = std::strtoll(copy.c_str(), &end, 10);
  if (*end != '\0' || number < 0 || number > 0xFFFFFFFFLL) return 0;
  return static_cast<DWORD>(number);
}

bool is_type(const berval& type, std::string_view name) {
  return type.bv_len == name.size() && strncasecmp(type.bv_val, name.data(), name.size()) == 0;
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

LDAPControl* usability_request() {
  static const Control request = [] {
    LDAPControl* raw = nullptr;
    if (ldap_control_create(LDAP_CONTROL_X_ACCOUNT_USABILITY, 0, nullptr, 0, &raw) != LDAP_SUCCESS)
      raw = nullptr;
    return Control(raw);
  }();
  return request.get();
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
  // The directory's judgement first: the pass below reads the entry's values in place,
  // ending each with a NUL in the message itself, after which its controls cannot be read.
  const LockState state = lock_state(ld, entry);
  // One pass over the entry's attributes.
  BerElement* raw_ber = nullptr;
  berval dn{0, nullptr};
  const int rc = ldap_get_dn_ber(ld, entry, &raw_ber, &dn);
  const std::unique_ptr<BerElement, BerFree> ber(raw_ber);
  if (rc != LDAP_SUCCESS || !rdn_uid(dn, name)) return false;
  // The first value of each attribute read; a list without values is no value.
  enum Slot { kUid, kPriv, kFlags, kHome, kComment, kScript, kChanged, kCreated, kLocked, kSlots };
  // The slots follow the attributes a search asks for, in their order.
  static_assert(std::size(kAccountAttributes) == kSlots + 1);
  static const auto kTypes = [] {
    std::array<std::string_view, kSlots> types;
    for (int i = 0; i < kSlots; ++i) types[i] = kAccountAttributes[i];
    return types;
  }();
  std::array<ValueList, kSlots> found;
  for (;;) {
    berval type{0, nullptr};
    BerVarray raw_values = nullptr;
    // A list that cannot be read ends the entry: what follows counts as absent.
    if (ldap_get_attribute_ber(ld, entry, ber.get(), &type, &raw_values) != LDAP_SUCCESS) break;
    ValueList values(raw_values);
    if (type.bv_val == nullptr) break;
    for (int slot = 0; slot < kSlots; ++slot) {
      if (found[slot] == nullptr && is_type(type, kTypes[slot])) {
        found[slot] = std::move(values);
        break;
      }
    }
  }
  const auto first = [&found](Slot slot, std::string* out) {
    const berval* values = found[slot].get();
    if (values == nullptr || values[0].bv_val == nullptr) return false;
    if (out != nullptr) out->assign(values[0].bv_val, values[0].bv_len);
    return true;
  };
  spell_as_uid(found[kUid].get(), name);
  if (name.empty()) return false;
  std::string text;
  fields.priv = first(kPriv, &text) ? number_value(text) : 0;
  // The lock is the directory's state, never a stored flag.
  fields.flags = (first(kFlags, &text) ? number_value(text) : 0) & ~UF_LOCKOUT;
  // The directory's judgement of the entry; without one, a lock time it keeps counts
  // until it is removed.
  if (state != LockState::kUnknown ? state == LockState::kLocked : first(kLocked, nullptr))
    fields.flags |= UF_LOCKOUT;
  fields.has_home_dir = first(kHome, &fields.home_dir);
  fields.has_comment = first(kComment, &fields.comment);
  fields.has_script_path = first(kScript, &fields.script_path);
  password_set = 0;
  if (!(first(kChanged, &text) && parse_generalized_time(text, password_set)) &&
      first(kCreated, &text))
    parse_generalized_time(text, password_set);
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
