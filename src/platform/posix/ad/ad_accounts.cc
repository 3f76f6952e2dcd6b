// The domain's side of the account calls: user entries found by sAMAccountName under the
// configured base, new ones made there as CN=<name>; local groups are the domain's builtin
// groups. Passwords go to the DC in the add or modify itself (unicodePwd, over TLS); a logon
// is a simple bind as the account on a connection of its own. Lockout, complexity, expiry
// and disabled accounts are the domain's own policy, counted by the DC for every logon;
// this side keeps its own counts per source of a login (source_tally.h) to refuse a
// throttled source before it binds.
#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "platform/posix/ad/ad_codes.h"
#include "platform/posix/ad/ad_connect.h"
#include "platform/posix/ad/ad_entries.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/hashing.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/common/source_tally.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/directory/ldap_entries.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

// Windows' limit for a user name (sAMAccountName); the DC does not enforce it.
constexpr std::size_t kMaxDomainNameUnits = 20;

// Every refused password costs at least the floor: the DC answers an unknown name about
// ten times faster than a wrong password, and a refusal decided here (an unknown name, an
// empty password) faster still. The floor is above what a check costs (a search and a
// bind, a few milliseconds on a near DC), and rises with the cost measured on a slow one.
constexpr std::chrono::milliseconds kLogonFloor{12};
std::chrono::nanoseconds recent_check_cost{0};

bool valid_domain_name(std::u16string_view name) {
  return name.size() <= kMaxDomainNameUnits && valid_account_name(name) && name.back() != u'.';
}

// The password as the DC takes it: in double quotes, UTF-16LE. Empty when it cannot be
// converted.
void quoted_password(const std::string& password, SecretText& out) {
  SecretText quoted;
  quoted.text.reserve(password.size() + 2);
  quoted.text.append(1, '"').append(password).append(1, '"');
  std::u16string wide;
  wide.reserve(quoted.text.size());
  if (utf8_to_utf16(quoted.text, wide)) {
    out.text.reserve(wide.size() * 2);
    for (const char16_t unit : wide) {
      out.text.push_back(static_cast<char>(unit & 0xFF));
      out.text.push_back(static_cast<char>(unit >> 8));
    }
  }
  secure_wipe(wide.data(), wide.size() * sizeof(char16_t));
}

// The DN and record of the account named (domain lock held): 0 with dn empty when there is
// none, or a Windows code.
DWORD find_account(const std::string& name, std::string& dn, std::string* found_name = nullptr,
                   UserFields* fields = nullptr, DWORD* password_age = nullptr) {
  const std::set<std::string>* admins = nullptr;
  if (fields != nullptr) {
    if (const DWORD code = admin_groups(admins); code != 0) return code;
  }
  const char* const dn_only[] = {"1.1", nullptr};
  Message result;
  LDAP* used = nullptr;
  int rc = 0;
  const std::string filter = domain_account_filter(&name);
  const DWORD setup = run_on_domain(
      [&](LDAP* ld) {
        used = ld;
        return search(ld, domain_base(), LDAP_SCOPE_SUBTREE, filter,
                      fields != nullptr ? kDomainAccountAttributes : dn_only, result);
      },
      rc);
  if (setup != 0) return setup;
  if (rc == LDAP_NO_SUCH_OBJECT) return NERR_InvalidComputer;  // the base itself is missing
  if (rc != LDAP_SUCCESS) return domain_code(rc, "", DomainCall::kAccount);
  dn.clear();
  // Exactly one entry, or none counts.
  if (ldap_count_entries(used, result.get()) != 1) return 0;
  LDAPMessage* entry = ldap_first_entry(used, result.get());
  if (fields != nullptr) {
    std::string ignored;
    if (!read_domain_account(used, entry, *admins, found_name != nullptr ? *found_name : ignored,
                             *fields, *password_age))
      return NERR_InternalError;
  }
  char* text = ldap_get_dn(used, entry);
  if (text == nullptr) return NERR_InternalError;
  dn = text;
  ldap_memfree(text);
  return 0;
}

// The fields of a record as modifications. A text absent or empty is a replace with no
// values (the DC refuses an empty value); the lock stays the DC's, so UF_LOCKOUT is not
// written.
void add_fields(Modifications& mods, int op, const UserFields& fields) {
  mods.add_number(op, "userAccountControl", fields.flags & ~UF_LOCKOUT);
  const struct {
    const char* type;
    bool present;
    const std::string& text;
  } texts[] = {{"homeDirectory", fields.has_home_dir, fields.home_dir},
               {"description", fields.has_comment, fields.comment},
               {"scriptPath", fields.has_script_path, fields.script_path}};
  for (const auto& text : texts) {
    if (text.present && !text.text.empty()) {
      mods.add(op, text.type, {text.text});
    } else if (op == LDAP_MOD_REPLACE) {
      mods.add(op, text.type, {});
    }
  }
}

DWORD modify(const std::string& dn, Modifications& mods, DomainCall call) {
  int rc = 0;
  std::string diagnostic;
  const DWORD setup = run_on_domain(
      [&](LDAP* ld) { return ldap_modify_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr); }, rc,
      &diagnostic);
  return setup != 0 ? setup : domain_code(rc, diagnostic, call);
}

DWORD add_account(const AccountName& name, const UserFields& fields, const std::string* password) {
  SecretText quoted;
  Modifications mods;
  mods.add(LDAP_MOD_ADD, "objectClass", {"top", "person", "organizationalPerson", "user"});
  mods.add(LDAP_MOD_ADD, "sAMAccountName", {name.text});
  // Set in the add itself: the entry never exists without its password.
  if (password != nullptr) {
    quoted_password(*password, quoted);
    if (quoted.text.empty()) return ERROR_INVALID_PARAMETER;
    mods.add(LDAP_MOD_ADD, "unicodePwd", {quoted.text});
  }
  add_fields(mods, LDAP_MOD_ADD, fields);
  const std::string dn = "CN=" + escape_dn_value(name.text) + "," + domain_base();
  int rc = 0;
  std::string diagnostic;
  const DWORD setup = run_on_domain(
      [&](LDAP* ld) { return ldap_add_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr); }, rc,
      &diagnostic);
  // A missing container is a base that names nothing, not a missing account.
  if (setup == 0 && rc == LDAP_NO_SUCH_OBJECT) return NERR_InvalidComputer;
  return setup != 0 ? setup : domain_code(rc, diagnostic, DomainCall::kAccount);
}

DWORD ad_add_user(const AccountName& name, const UserFields& fields, const std::string* password) {
  auto lock = lock_domain();
  // A new account starts without counts, whatever an old one of its name left here.
  if (const DWORD code = remove_source_tallies(name.key); code != 0) return code;
  return add_account(name, fields, password);
}

// Replaces the fields of the account at dn, and its password unless password is null, in
// one modify the DC applies whole or not at all (its password policy included).
DWORD update_account(const std::string& dn, const UserFields& fields, const std::string* password,
                     bool unlock) {
  SecretText quoted;
  Modifications mods;
  add_fields(mods, LDAP_MOD_REPLACE, fields);
  if (password != nullptr) {
    quoted_password(*password, quoted);
    if (quoted.text.empty()) return ERROR_INVALID_PARAMETER;
    mods.add(LDAP_MOD_REPLACE, "unicodePwd", {quoted.text});
  }
  // lockoutTime 0 is the domain's own unlock, and it clears the count of wrong passwords.
  if (unlock) mods.add(LDAP_MOD_REPLACE, "lockoutTime", {"0"});
  return modify(dn, mods, DomainCall::kAccount);
}

DWORD ad_set_user(const AccountName& name, const UserFields& fields, const std::string* password) {
  auto lock = lock_domain();
  std::string dn;
  if (const DWORD code = find_account(name.text, dn); code != 0) return code;
  if (dn.empty()) return NERR_UserNotFound;
  // A record without UF_LOCKOUT unlocks, and clears the counts kept here (first, so that a
  // failure changes nothing else); so does a new password.
  if ((fields.flags & UF_LOCKOUT) == 0 || password != nullptr)
    if (const DWORD code = clear_source_tallies(name.key); code != 0) return code;
  return update_account(dn, fields, password, (fields.flags & UF_LOCKOUT) == 0);
}

DWORD ad_get_user(const AccountName& name, UserRecords& records) {
  auto lock = lock_domain();
  std::string dn, found;
  UserFields fields;
  DWORD age = 0;
  if (const DWORD code = find_account(name.text, dn, &found, &fields, &age); code != 0) return code;
  if (dn.empty()) return NERR_UserNotFound;
  return add_user_fields(found, fields, age, records) ? 0 : NERR_InternalError;
}

DWORD delete_account(const std::string& name) {
  std::string dn;
  if (const DWORD code = find_account(name, dn); code != 0) return code;
  if (dn.empty()) return NERR_UserNotFound;
  int rc = 0;
  std::string diagnostic;
  // Memberships go with the entry: the DC removes them.
  const DWORD setup =
      run_on_domain([&](LDAP* ld) { return ldap_delete_ext_s(ld, dn.c_str(), nullptr, nullptr); },
                    rc, &diagnostic);
  return setup != 0 ? setup : domain_code(rc, diagnostic, DomainCall::kAccount);
}

DWORD ad_delete_user(const AccountName& name) {
  auto lock = lock_domain();
  const DWORD code = delete_account(name.text);
  return code != 0 ? code : remove_source_tallies(name.key);
}

// Takes the account at dn out of every group that lists it (its primary group excepted,
// which the DC keeps): the memberships a removed account would have lost. 0 or a Windows
// code.
DWORD leave_groups(const std::string& dn) {
  const char* const attributes[] = {"memberOf", nullptr};
  Message result;
  LDAP* used = nullptr;
  int rc = 0;
  DWORD setup = run_on_domain(
      [&](LDAP* ld) {
        used = ld;
        return search(ld, dn, LDAP_SCOPE_BASE, "(objectClass=*)", attributes, result);
      },
      rc);
  if (setup != 0 || rc != LDAP_SUCCESS)
    return setup != 0 ? setup : domain_code(rc, "", DomainCall::kAccount);
  LDAPMessage* entry = ldap_first_entry(used, result.get());
  berval** groups = entry != nullptr ? ldap_get_values_len(used, entry, "memberOf") : nullptr;
  std::vector<std::string> group_dns;
  for (berval** value = groups; value != nullptr && *value != nullptr; ++value)
    group_dns.emplace_back((*value)->bv_val, (*value)->bv_len);
  ldap_value_free_len(groups);
  for (const std::string& group : group_dns) {
    Modifications mods;
    mods.add(LDAP_MOD_DELETE, "member", {dn});
    const DWORD code = modify(group, mods, DomainCall::kGroup);
    // Gone meanwhile (by another writer) is as good as removed here.
    if (code != 0 && code != NERR_GroupNotFound) return code;
  }
  return 0;
}

// The account's entry stays and its content is replaced in one modify, which the DC
// applies whole or not at all: a password the domain's policy refuses leaves the old
// account as it was, where a delete and an add would lose it. The new account starts
// unlocked and without the old one's groups; a password that is null keeps the old one.
DWORD ad_replace_user(const AccountName& name, const UserFields& fields,
                      const std::string* password, DWORD& removal) {
  auto lock = lock_domain();
  std::string dn;
  removal = find_account(name.text, dn);
  if (removal == 0 && dn.empty()) removal = NERR_UserNotFound;
  if (removal != 0) return removal;
  // The account in its place is a new one: never locked, nothing counted.
  if (const DWORD code = clear_source_tallies(name.key); code != 0) return code;
  const DWORD code = update_account(dn, fields, password, true);
  return code != 0 ? code : leave_groups(dn);
}

DWORD ad_add_members(const AccountName& group, const std::vector<AccountName>& members) {
  auto lock = lock_domain();
  // Every member is looked up first; the values then go in with one modify, which the DC
  // applies whole or not at all.
  std::deque<std::string> member_dns;
  std::vector<std::string_view> values;
  for (const AccountName& member : members) {
    std::string& dn = member_dns.emplace_back();
    if (const DWORD code = find_account(member.text, dn); code != 0) return code;
    if (dn.empty()) return ERROR_NO_SUCH_MEMBER;
    values.push_back(dn);
  }
  if (values.empty()) return 0;
  Modifications mods;
  mods.add(LDAP_MOD_ADD, "member", values);
  return modify(builtin_group_dn(group.text), mods, DomainCall::kMemberAdd);
}

// Waits until a refusal that started at start has cost the floor.
void pad_to_floor(std::chrono::steady_clock::time_point start) {
  const auto scaled = std::chrono::duration_cast<std::chrono::nanoseconds>(recent_check_cost * 1.5);
  std::this_thread::sleep_until(start + std::max<std::chrono::nanoseconds>(kLogonFloor, scaled));
}

DWORD ad_logon(const AccountName* name, const std::string* password) {
  const auto start = std::chrono::steady_clock::now();
  auto lock = lock_domain();
  // An empty password would be an unauthenticated bind, which the DC accepts and counts
  // as a wrong password: it never goes to the DC.
  std::string dn;
  const bool given = name != nullptr && password != nullptr && !password->empty();
  if (given) {
    // A DC that cannot be reached is told apart from a refused password.
    if (const DWORD code = find_account(name->text, dn); code != 0) return code;
  }
  // The source's count here, held until the outcome is counted.
  SourceTally tally;
  if (given)
    if (const DWORD code = tally.open(dn.empty() ? std::string() : name->key, !dn.empty());
        code != 0)
      return code;
  // Every refusal of a counted logon costs the key of a wrong password, which only a
  // wrong password of a known account needs.
  const auto refusal_key = [&] {
    return tally.counting() ? wrong_password_key(name->key, *password) : std::string();
  };
  if (dn.empty()) {
    if (given) {
      note_logon_refusal(LogonRefusal::kUnknownName);
      if (const DWORD code = tally.wrong_password(refusal_key()); code != 0) return code;
    }
    pad_to_floor(start);
    return ERROR_LOGON_FAILURE;
  }
  if (tally.throttled()) {
    // Refused before the bind, so that the DC's own count does not move, at the cost of a
    // wrong password.
    refusal_key();
    pad_to_floor(start);
    note_logon_refusal(LogonRefusal::kThrottledSource);
    return ERROR_ACCOUNT_LOCKED_OUT;
  }
  // A password this account was refused a moment ago, from any source (a device holding a
  // stale one), is refused again without a bind, so that the DC's own count sees it once,
  // at the cost of a refusal. Its key is made only while the account has recent wrong
  // passwords.
  std::string key;
  if (tally.may_repeat()) {
    key = refusal_key();
    if (tally.repeats_recent_wrong(key)) {
      note_logon_refusal(LogonRefusal::kWrongPassword);
      if (const DWORD counted = tally.wrong_password(key); counted != 0) return counted;
      pad_to_floor(start);
      return ERROR_LOGON_FAILURE;
    }
  }
  int rc = 0;
  std::string diagnostic;
  if (const DWORD code = bind_on_logon_connection(dn, *password, rc, diagnostic); code != 0)
    return code;
  const DWORD code = domain_logon_code(rc, diagnostic);
  if (code == ERROR_LOGON_FAILURE && key.empty()) key = refusal_key();
  // The key's cost is part of what a refusal costs.
  const auto spent = std::chrono::steady_clock::now() - start;
  recent_check_cost = (recent_check_cost * 7 + spent) / 8;
  if (code == ERROR_LOGON_FAILURE) {
    note_logon_refusal(LogonRefusal::kWrongPassword);
    // A count that cannot be kept is told apart from a wrong password.
    if (const DWORD counted = tally.wrong_password(key); counted != 0) return counted;
    pad_to_floor(start);
  } else if (code == 0) {
    tally.right_password();
  }
  return code;
}

}  // namespace

DWORD ad_enumerate(DWORD filter, DWORD preferred_length, DWORD* resume_handle, UserRecords& records,
                   DWORD& total);

const Backend& domain_backend() {
  static const Backend table = {ad_add_user,       ad_set_user,  ad_get_user,    ad_delete_user,
                                ad_replace_user,   ad_enumerate, ad_add_members, ad_logon,
                                valid_domain_name, nullptr};
  return table;
}

}  // namespace ostrel_posix
