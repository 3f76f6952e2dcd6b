// The directory's side of the account calls: one entry per account under ou=users
// (inetOrgPerson with the netUserAccount class for the fields Windows keeps), local groups
// as groupOfNames under ou=groups. Passwords go to the directory in the add or modify
// itself and are hashed there; a logon is a bind as the account. Wrong passwords are
// counted and accounts locked by the directory's password policy, so that every host
// sharing it counts together; this side reads the lock and removes it, and keeps its own
// counts per source of a login (source_tally.h) to refuse a throttled source before it
// binds.
#include <sodium.h>

#include <ctime>
#include <string>
#include <string_view>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/hashing.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/common/password_policy.h"
#include "platform/posix/common/source_tally.h"
#include "platform/posix/directory/ldap_codes.h"
#include "platform/posix/directory/ldap_connect.h"
#include "platform/posix/directory/ldap_entries.h"
#include "platform/posix/directory/ldap_text.h"

namespace ostrel_posix {
namespace {

const char* const kNoAttributes[] = {"1.1", nullptr};

// Where the password policy keeps a lock. Removing it also clears the recorded wrong
// passwords (the directory does that), so an unlocked account starts its count afresh.
constexpr char kLockedTime[] = "pwdAccountLockedTime";

// Every account is read by a base search on its own entry, uid=<name>,ou=users,...: a
// filter on uid would also match another entry that carries the name as a second value.
constexpr char kAccountClass[] = "(objectClass=netUserAccount)";

DWORD account_code(DWORD setup, int rc) {
  return setup != 0 ? setup : directory_code(rc, DirectoryCall::kAccount);
}

// The directory's explanation of a refused write, as much of it as the log may carry.
std::string diagnostic_of(LDAP* ld) {
  char* text = nullptr;
  std::string out;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &text) == LDAP_OPT_SUCCESS && text) {
    for (const char* p = text; *p != '\0' && out.size() < 120; ++p)
      if (*p >= 0x20 && *p < 0x7F) out += *p;
    ldap_memfree(text);
  }
  return out;
}

// The code of a write that carried a new password: a constraint the directory's password
// policy sets (its history, a quality rule of its own) refuses the password as Windows'
// policy does, and the log gets the directory's words; otherwise the account code.
DWORD password_write_code(const AccountName& name, const std::string* password, DWORD setup, int rc,
                          const std::string& diagnostic) {
  if (setup != 0 || rc != LDAP_CONSTRAINT_VIOLATION || password == nullptr)
    return account_code(setup, rc);
  return refuse_password(name.text, "refused by the directory's password policy" +
                                        (diagnostic.empty() ? "" : " (" + diagnostic + ")"));
}

// The fields of a record as modifications. An absent text is removed from an entry that
// has it (a replace without values); an empty one is kept as an empty value.
void add_fields(Modifications& mods, int op, const UserFields& fields) {
  mods.add_number(op, "netUserPriv", fields.priv);
  mods.add_number(op, "netUserFlags", fields.flags & ~UF_LOCKOUT);
  const struct {
    const char* type;
    bool present;
    const std::string& text;
  } texts[] = {{"netUserHomeDir", fields.has_home_dir, fields.home_dir},
               {"netUserComment", fields.has_comment, fields.comment},
               {"netUserScriptPath", fields.has_script_path, fields.script_path}};
  for (const auto& text : texts) {
    if (text.present) {
      mods.add(op, text.type, {text.text});
    } else if (op == LDAP_MOD_REPLACE) {
      mods.add(op, text.type, {});
    }
  }
}

DWORD directory_add_user(const AccountName& name, const UserFields& fields,
                         const std::string* password) {
  auto lock = lock_directory();
  // A new account starts without counts, whatever an old one of its name left here.
  if (const DWORD rc = remove_source_tallies(name.key); rc != 0) return rc;
  Modifications mods;
  mods.add(LDAP_MOD_ADD, "objectClass",
           {"top", "person", "organizationalPerson", "inetOrgPerson", "netUserAccount"});
  mods.add(LDAP_MOD_ADD, "uid", {name.text});
  mods.add(LDAP_MOD_ADD, "cn", {name.text});
  mods.add(LDAP_MOD_ADD, "sn", {name.text});
  // Set in the add itself: the entry never exists without its password.
  if (password != nullptr) mods.add(LDAP_MOD_ADD, "userPassword", {*password});
  add_fields(mods, LDAP_MOD_ADD, fields);
  const std::string dn = user_dn(name.text);
  int rc = 0;
  std::string diagnostic;
  const DWORD setup = run_on_service(
      [&](LDAP* ld) {
        const int result = ldap_add_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr);
        if (result == LDAP_CONSTRAINT_VIOLATION) diagnostic = diagnostic_of(ld);
        return result;
      },
      rc);
  return password_write_code(name, password, setup, rc, diagnostic);
}

// Modifies the entry at dn, and removes its lock in the same step when unlock is true: 0
// with the LDAP result in rc (and the directory's words for a refused constraint in
// diagnostic), or a Windows code. An entry without a lock (or a directory without password
// policies) refuses the removal, so it is then modified without it.
DWORD modify_unlocking(const std::string& dn, Modifications& mods, bool unlock, int& rc,
                       std::string& diagnostic) {
  if (unlock) mods.add(LDAP_MOD_DELETE, kLockedTime, {});
  const auto modify = [&](LDAP* ld) {
    const int result = ldap_modify_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr);
    if (result == LDAP_CONSTRAINT_VIOLATION) diagnostic = diagnostic_of(ld);
    return result;
  };
  const DWORD setup = run_on_service(modify, rc);
  if (setup != 0 || !unlock || (rc != LDAP_NO_SUCH_ATTRIBUTE && rc != LDAP_UNDEFINED_TYPE))
    return setup;
  mods.drop_last();
  return run_on_service(modify, rc);
}

DWORD directory_set_user(const AccountName& name, const UserFields& fields,
                         const std::string* password) {
  auto lock = lock_directory();
  Modifications mods;
  add_fields(mods, LDAP_MOD_REPLACE, fields);
  if (password != nullptr) mods.add(LDAP_MOD_REPLACE, "userPassword", {*password});
  const std::string dn = user_dn(name.text);
  int rc = 0;
  // A record without UF_LOCKOUT unlocks, and clears the counts kept here (first, so that a
  // failure changes nothing else); so does a new password.
  if ((fields.flags & UF_LOCKOUT) == 0 || password != nullptr)
    if (const DWORD code = clear_source_tallies(name.key); code != 0) return code;
  // With UF_LOCKOUT, a lock stays as it is.
  std::string diagnostic;
  const DWORD setup = modify_unlocking(dn, mods, (fields.flags & UF_LOCKOUT) == 0, rc, diagnostic);
  return password_write_code(name, password, setup, rc, diagnostic);
}

DWORD directory_get_user(const AccountName& name, UserRecords& records) {
  auto lock = lock_directory();
  Message result;
  const std::string dn = user_dn(name.text);
  int rc = 0;
  LDAP* used = nullptr;
  LDAPControl* controls[] = {usability_request(), nullptr};
  const DWORD setup = run_on_service(
      [&](LDAP* ld) {
        used = ld;
        return search(ld, dn, LDAP_SCOPE_BASE, kAccountClass, kAccountAttributes, result, controls);
      },
      rc);
  if (setup != 0 || rc != LDAP_SUCCESS) return account_code(setup, rc);
  LDAPMessage* entry = ldap_first_entry(used, result.get());
  if (entry == nullptr) return NERR_UserNotFound;
  std::string text;
  UserFields fields;
  std::int64_t set = 0;
  if (!read_account(used, entry, text, fields, set)) return NERR_InternalError;
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const std::int64_t age = set > 0 && now > set ? now - set : 0;
  const DWORD password_age = age > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<DWORD>(age);
  return add_user_fields(text, fields, password_age, records) ? 0 : NERR_InternalError;
}

DWORD directory_delete_user(const AccountName& name) {
  auto lock = lock_directory();
  const std::string dn = user_dn(name.text);
  int rc = 0;
  // Memberships go with the entry: the directory's referential integrity removes them.
  const DWORD setup = run_on_service(
      [&](LDAP* ld) { return ldap_delete_ext_s(ld, dn.c_str(), nullptr, nullptr); }, rc);
  const DWORD code = account_code(setup, rc);
  return code != 0 ? code : remove_source_tallies(name.key);
}

// The DN of an entry that exists and matches filter: 0, NERR_UserNotFound (the caller
// picks its own code for a missing entry) or a Windows code.
DWORD existing_dn(const std::string& base, const char* filter, std::string& dn) {
  Message result;
  int rc = 0;
  LDAP* used = nullptr;
  const DWORD setup = run_on_service(
      [&](LDAP* ld) {
        used = ld;
        return search(ld, base, LDAP_SCOPE_BASE, filter, kNoAttributes, result);
      },
      rc);
  if (setup != 0) return setup;
  if (rc == LDAP_NO_SUCH_OBJECT) return NERR_UserNotFound;
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
  LDAPMessage* entry = ldap_first_entry(used, result.get());
  if (entry == nullptr) return NERR_UserNotFound;
  char* found = ldap_get_dn(used, entry);
  if (found == nullptr) return NERR_InternalError;
  dn = found;
  ldap_memfree(found);
  return 0;
}

// Takes the entry out of every group that names it as a member (directory lock held): the
// memberships a removed account would have lost, their DNs appended to left. 0 or a
// Windows code.
DWORD leave_groups(const std::string& member_dn, std::vector<std::string>& left) {
  Message result;
  int rc = 0;
  LDAP* used = nullptr;
  const std::string filter =
      "(&(objectClass=groupOfNames)(member=" + escape_filter_value(member_dn) + "))";
  DWORD setup = run_on_service(
      [&](LDAP* ld) {
        used = ld;
        return search(ld, directory_settings().base, LDAP_SCOPE_SUBTREE, filter, kNoAttributes,
                      result);
      },
      rc);
  if (setup != 0) return setup;
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kGroup);
  for (LDAPMessage* entry = ldap_first_entry(used, result.get()); entry != nullptr;
       entry = ldap_next_entry(used, entry)) {
    char* found = ldap_get_dn(used, entry);
    if (found == nullptr) return NERR_InternalError;
    const std::string group = found;
    ldap_memfree(found);
    Modifications mods;
    mods.add(LDAP_MOD_DELETE, "member", {member_dn});
    setup = run_on_service(
        [&](LDAP* ld) {
          return ldap_modify_ext_s(ld, group.c_str(), mods.get(), nullptr, nullptr);
        },
        rc);
    if (setup != 0) return setup;
    // Gone meanwhile (by another writer) is as good as removed here.
    if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_ATTRIBUTE && rc != LDAP_NO_SUCH_OBJECT)
      return directory_code(rc, DirectoryCall::kGroup);
    if (rc == LDAP_SUCCESS) left.push_back(group);
  }
  return 0;
}

// Puts the entry back into the groups it left, as far as the directory lets it: a
// replacement the directory refused leaves the account as it was.
void rejoin_groups(const std::string& member_dn, const std::vector<std::string>& groups) {
  for (const std::string& group : groups) {
    Modifications mods;
    mods.add(LDAP_MOD_ADD, "member", {member_dn});
    int rc = 0;
    run_on_service(
        [&](LDAP* ld) {
          return ldap_modify_ext_s(ld, group.c_str(), mods.get(), nullptr, nullptr);
        },
        rc);
  }
}

// The account's entry stays and its whole content is replaced in one modify, which the
// directory applies whole or not at all: the name is never without an account, as it
// would be between a delete and an add. The memberships go first, so a process that dies
// in between leaves the old account with fewer groups rather than the new one with the
// old one's groups; running the command again finishes the work.
DWORD directory_replace_user(const AccountName& name, const UserFields& fields,
                             const std::string* password, DWORD& removal) {
  removal = 0;
  auto lock = lock_directory();
  std::string dn;
  if (const DWORD rc = existing_dn(user_dn(name.text), kAccountClass, dn); rc != 0)
    return removal = rc;
  std::vector<std::string> left;
  if (const DWORD rc = leave_groups(dn, left); rc != 0) {
    rejoin_groups(dn, left);
    return removal = rc;
  }

  Modifications mods;
  // The name as now typed (the directory compares it without case, so the entry keeps
  // its place).
  mods.add(LDAP_MOD_REPLACE, "uid", {name.text});
  mods.add(LDAP_MOD_REPLACE, "cn", {name.text});
  mods.add(LDAP_MOD_REPLACE, "sn", {name.text});
  add_fields(mods, LDAP_MOD_REPLACE, fields);
  if (password != nullptr) {
    mods.add(LDAP_MOD_REPLACE, "userPassword", {*password});
  } else {
    mods.add(LDAP_MOD_REPLACE, "userPassword", {});
  }
  int rc = 0;
  // The account in its place is a new one: never locked, nothing counted.
  if (const DWORD code = clear_source_tallies(name.key); code != 0) return code;
  std::string diagnostic;
  const DWORD setup = modify_unlocking(dn, mods, true, rc, diagnostic);
  if (setup != 0 || rc != LDAP_SUCCESS) rejoin_groups(dn, left);
  if (setup == 0 && rc == LDAP_NO_SUCH_OBJECT) return removal = NERR_UserNotFound;
  return password_write_code(name, password, setup, rc, diagnostic);
}

DWORD directory_add_members(const AccountName& group, const std::vector<AccountName>& members) {
  auto lock = lock_directory();
  std::string dn;
  const std::string group_entry = group_dn(group.text);
  if (const DWORD rc = existing_dn(group_entry, "(objectClass=groupOfNames)", dn); rc != 0)
    return rc == NERR_UserNotFound ? NERR_GroupNotFound : rc;
  // Every member is looked up first; the values then go in with one modify, which the
  // directory applies whole or not at all.
  std::deque<std::string> member_dns;
  std::vector<std::string_view> values;
  for (const AccountName& member : members) {
    std::string& member_dn = member_dns.emplace_back();
    const DWORD rc = existing_dn(user_dn(member.text), kAccountClass, member_dn);
    if (rc != 0) return rc == NERR_UserNotFound ? ERROR_NO_SUCH_MEMBER : rc;
    values.push_back(member_dn);
  }
  if (values.empty()) return 0;
  Modifications mods;
  mods.add(LDAP_MOD_ADD, "member", values);
  int rc = 0;
  const DWORD setup = run_on_service(
      [&](LDAP* ld) {
        return ldap_modify_ext_s(ld, group_entry.c_str(), mods.get(), nullptr, nullptr);
      },
      rc);
  return setup != 0 ? setup : directory_code(rc, DirectoryCall::kMemberAdd);
}

// The decoy is its own password policy, one that never locks: under the directory's
// policy it would lock after a few refused logons, and a locked entry is refused without
// its password being checked, so unknown names would answer faster than known ones.
// These are the policy's attributes; the pwdPolicy class comes with the entry's others.
void add_decoy_policy(Modifications& mods, const std::string& dn) {
  mods.add(LDAP_MOD_ADD, "pwdAttribute", {"userPassword"});
  mods.add(LDAP_MOD_ADD, "pwdLockout", {"FALSE"});
  mods.add(LDAP_MOD_REPLACE, "pwdPolicySubentry", {dn});
}

// Makes sure the decoy entry exists, with a random password the directory hashes like any
// other: a bind against it costs what a bind against a real account costs. Checked once
// per process and directory (directory lock held). ERROR_BAD_NETPATH when the directory
// did not answer (the logon then ends there), else 0.
DWORD ensure_decoy() {
  static std::string ready_for;
  const std::string dn = decoy_dn();
  if (ready_for == dn) return 0;
  std::string found;
  DWORD rc = existing_dn(dn, "(objectClass=pwdPolicy)", found);
  if (rc != NERR_UserNotFound) {
    if (rc == 0) ready_for = dn;
    return rc == ERROR_BAD_NETPATH ? rc : 0;
  }
  rc = existing_dn(dn, "(objectClass=*)", found);
  if (rc == 0) {
    // A decoy made without its policy gets it; a directory without password policies
    // refuses, and the decoy stays as it is.
    Modifications mods;
    mods.add(LDAP_MOD_ADD, "objectClass", {"pwdPolicy"});
    add_decoy_policy(mods, dn);
    int modified = 0;
    if (run_on_service(
            [&](LDAP* ld) {
              return ldap_modify_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr);
            },
            modified) == 0)
      ready_for = dn;
    return 0;
  }
  if (rc != NERR_UserNotFound) return rc == ERROR_BAD_NETPATH ? rc : 0;
  unsigned char random[24];
  randombytes_buf(random, sizeof random);
  std::string secret(sizeof random * 2 + 1, '\0');
  sodium_bin2hex(secret.data(), secret.size(), random, sizeof random);
  secret.pop_back();
  // With its policy, and (for a directory without password policies) without.
  Modifications mods, plain;
  for (Modifications* each : {&mods, &plain}) {
    each->add(LDAP_MOD_ADD, "cn", {"ostrel-decoy"});
    each->add(LDAP_MOD_ADD, "userPassword", {secret});
  }
  plain.add(LDAP_MOD_ADD, "objectClass", {"applicationProcess", "simpleSecurityObject"});
  mods.add(LDAP_MOD_ADD, "objectClass",
           {"applicationProcess", "simpleSecurityObject", "pwdPolicy"});
  add_decoy_policy(mods, dn);
  int added = 0;
  Modifications* chosen = &mods;
  const auto add = [&](LDAP* ld) {
    return ldap_add_ext_s(ld, dn.c_str(), chosen->get(), nullptr, nullptr);
  };
  DWORD setup = run_on_service(add, added);
  // A directory without password policies (or that does not let the service account give
  // one) gets a plain decoy.
  if (setup == 0 && added != LDAP_SUCCESS && added != LDAP_ALREADY_EXISTS) {
    chosen = &plain;
    setup = run_on_service(add, added);
  }
  sodium_memzero(secret.data(), secret.size());
  sodium_memzero(random, sizeof random);
  if (setup == 0 && (added == LDAP_SUCCESS || added == LDAP_ALREADY_EXISTS)) ready_for = dn;
  return 0;
}

// The DN and flags of the account named, read by the service account, and whether the
// directory judges it locked. 0 with dn empty when there is no such account.
DWORD find_account(const AccountName& name, std::string& dn, DWORD& flags, bool& locked) {
  const char* const attributes[] = {"uid", "netUserFlags", nullptr};
  Message result;
  LDAP* used = nullptr;
  int rc = 0;
  LDAPControl* controls[] = {usability_request(), nullptr};
  const std::string own_dn = user_dn(name.text);
  const DWORD setup = run_on_service(
      [&](LDAP* ld) {
        used = ld;
        return search(ld, own_dn, LDAP_SCOPE_BASE, kAccountClass, attributes, result, controls);
      },
      rc);
  if (setup != 0) return setup;
  if (rc == LDAP_NO_SUCH_OBJECT) return 0;
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
  LDAPMessage* entry = ldap_first_entry(used, result.get());
  if (entry == nullptr) return 0;
  dn = own_dn;
  // Before read_account, which uses the entry up.
  locked = lock_state(used, entry) == LockState::kLocked;
  UserFields fields;
  std::string ignored;
  std::int64_t set = 0;
  read_account(used, entry, ignored, fields, set);
  flags = fields.flags;
  return 0;
}

// A simple bind as dn with the password policy request: the LDAP result, and locked set
// when the directory's policy response says the account is locked.
int bind_as(LDAP* ld, const std::string& dn, const std::string& password, bool& locked) {
  locked = false;
  LDAPControl* raw_request = nullptr;
  if (ldap_create_passwordpolicy_control(ld, &raw_request) != LDAP_SUCCESS) return LDAP_NO_MEMORY;
  const Control request(raw_request);
  LDAPControl* controls[] = {request.get(), nullptr};
  berval credentials{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
  limit_next_step(ld);
  int id = 0;
  int rc = ldap_sasl_bind(ld, dn.c_str(), LDAP_SASL_SIMPLE, &credentials, controls, nullptr, &id);
  if (rc != LDAP_SUCCESS) return rc;
  LDAPMessage* raw_result = nullptr;
  const int got = ldap_result(ld, id, LDAP_MSG_ALL, operation_timeout(), &raw_result);
  Message result(raw_result);
  if (got == 0) return LDAP_TIMEOUT;
  if (got < 0) {
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
    return rc != LDAP_SUCCESS ? rc : LDAP_SERVER_DOWN;
  }
  LDAPControl** raw_response = nullptr;
  int parsed =
      ldap_parse_result(ld, result.get(), &rc, nullptr, nullptr, nullptr, &raw_response, 0);
  const Controls response(raw_response);
  if (parsed != LDAP_SUCCESS) return parsed;
  LDAPControl* policy =
      ldap_control_find(LDAP_CONTROL_PASSWORDPOLICYRESPONSE, raw_response, nullptr);
  ber_int_t expire = -1, grace = -1;
  LDAPPasswordPolicyError error = PP_noError;
  if (policy != nullptr &&
      ldap_parse_passwordpolicy_control(ld, policy, &expire, &grace, &error) == LDAP_SUCCESS)
    locked = error == PP_accountLocked;
  return rc;
}

DWORD directory_logon(const AccountName* name, const std::string* password) {
  // An empty password would be an unauthenticated bind, which some directories accept.
  if (password == nullptr || password->empty()) return ERROR_LOGON_FAILURE;
  auto lock = lock_directory();
  if (const DWORD rc = ensure_decoy(); rc != 0) return rc;
  std::string dn;
  DWORD flags = 0;
  bool judged_locked = false;
  if (name != nullptr) {
    // A broken directory is told apart from a refused password.
    if (const DWORD rc = find_account(*name, dn, flags, judged_locked); rc != 0) return rc;
  }
  const bool known = !dn.empty();
  if (!known) dn = decoy_dn();
  // The source's count here, held until the outcome is counted.
  SourceTally tally;
  if (const DWORD rc = tally.open(known ? name->key : std::string(), known); rc != 0) return rc;
  // Every refusal of a counted logon costs the key of a wrong password, which only a
  // wrong password of a known account needs.
  const auto refusal_key = [&] {
    return tally.counting() ? wrong_password_key(name != nullptr ? name->key : "", *password)
                            : std::string();
  };

  // The bind goes over a connection of its own, closed at once: the service connection
  // stays bound as the service account.
  LdapPtr ld;
  if (const DWORD rc = open_directory(directory_settings(), ld); rc != 0) return rc;
  bool locked = false;
  if (tally.throttled()) {
    // Refused before the account's bind, so that the directory's own count does not move;
    // the decoy's bind costs what that one would have.
    bind_as(ld.get(), decoy_dn(), *password, locked);
    refusal_key();
    note_logon_refusal(LogonRefusal::kThrottledSource);
    return ERROR_ACCOUNT_LOCKED_OUT;
  }
  // A password this account was refused a moment ago, from any source (a device holding a
  // stale one), is refused again without the account's bind, so that the directory's own
  // count sees it once; the decoy's bind keeps the cost of a refusal. Its key is made only
  // while the account has recent wrong passwords.
  std::string key;
  if (known && tally.may_repeat()) {
    key = refusal_key();
    if (tally.repeats_recent_wrong(key)) {
      bind_as(ld.get(), decoy_dn(), *password, locked);
      note_logon_refusal(LogonRefusal::kWrongPassword);
      if (const DWORD code = tally.wrong_password(key); code != 0) return code;
      return ERROR_LOGON_FAILURE;
    }
  }
  const int rc = bind_as(ld.get(), dn, *password, locked);
  // The bind's policy response tells a lock only where the directory is set to say so;
  // its judgement of the entry found tells it too.
  if (known && (locked || (rc == LDAP_INVALID_CREDENTIALS && judged_locked))) {
    // The directory refuses a locked account before it checks the password: the decoy's
    // check costs what that one would have, so a lock shows in the answer only.
    bool ignored = false;
    bind_as(ld.get(), decoy_dn(), *password, ignored);
    if (key.empty()) refusal_key();
    note_logon_refusal(LogonRefusal::kLockedAccount);
    return ERROR_ACCOUNT_LOCKED_OUT;
  }
  if (rc == LDAP_INVALID_CREDENTIALS || (rc == LDAP_SUCCESS && !known)) {
    note_logon_refusal(known ? LogonRefusal::kWrongPassword : LogonRefusal::kUnknownName);
    if (key.empty()) key = refusal_key();
    // A count that cannot be kept is told apart from a wrong password.
    if (const DWORD code = tally.wrong_password(key); code != 0) return code;
    return ERROR_LOGON_FAILURE;
  }
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
  tally.right_password();
  if ((flags & UF_ACCOUNTDISABLE) != 0) return ERROR_ACCOUNT_DISABLED;
  return 0;
}

}  // namespace

DWORD directory_enumerate(DWORD filter, DWORD preferred_length, DWORD* resume_handle,
                          UserRecords& records, DWORD& total);

const Backend& directory_backend() {
  static const Backend table = {directory_add_user,
                                directory_set_user,
                                directory_get_user,
                                directory_delete_user,
                                directory_replace_user,
                                directory_enumerate,
                                directory_add_members,
                                directory_logon,
                                nullptr,
                                nullptr};
  return table;
}

}  // namespace ostrel_posix
