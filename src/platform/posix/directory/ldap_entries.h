// Reading and writing account entries of the directory: search results that free
// themselves, modification lists, and an entry turned into account fields.
#pragma once

#include <ldap.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/common/names.h"

namespace ostrel_posix {

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using Message = std::unique_ptr<LDAPMessage, MessageFree>;

struct ControlFree {
  void operator()(LDAPControl* control) const { ldap_control_free(control); }
};
struct ControlsFree {
  void operator()(LDAPControl** controls) const { ldap_controls_free(controls); }
};
using Control = std::unique_ptr<LDAPControl, ControlFree>;
using Controls = std::unique_ptr<LDAPControl*, ControlsFree>;

/// Asks the directory to judge each account entry it returns under the entry's password
/// policy (the account usability control), so that a lock is read as the directory sees
/// it. Not critical: a directory without password policies ignores it. Made once for the
/// process; null when it could not be made.
LDAPControl* usability_request();

/// Attributes read for an account.
extern const char* const kAccountAttributes[];

/// One search with the operation timeout and no size limit: the LDAP result.
int search(LDAP* ld, const std::string& base, int scope, const std::string& filter,
           const char* const* attributes, Message& result, LDAPControl** controls = nullptr);

/// A list of modifications whose values point into texts the caller keeps alive (or into
/// its own copies, for numbers).
struct Modifications {
  std::deque<std::string> owned;
  std::deque<berval> values;
  std::deque<std::vector<berval*>> value_lists;
  std::deque<LDAPMod> mods;
  std::vector<LDAPMod*> list{nullptr};

  void add(int op, const char* type, const std::vector<std::string_view>& texts);
  void add_number(int op, const char* type, unsigned long number);
  /// Takes the last modification added out of the list.
  void drop_last();
  LDAPMod** get() { return list.data(); }
};

/// What the usability response that came with entry says of its account: locked by its
/// password policy, usable, or unknown (no response).
enum class LockState { kUnknown, kUsable, kLocked };
LockState lock_state(LDAP* ld, LDAPMessage* entry);

/// The account of an entry: name (the uid value of the entry's own DN, never another uid
/// value it carries), fields and the time its password was set (or the entry made).
/// fields.flags has UF_LOCKOUT while the directory's password policy locks the account: as
/// the entry's usability response says when it came with one (a lock whose duration ran
/// out is no lock), else while the entry has a lock time. False when the entry is not
/// named by one uid value. Reads the entry in place: nothing of it can be read afterwards.
bool read_account(LDAP* ld, LDAPMessage* entry, std::string& name, UserFields& fields,
                  std::int64_t& password_set);

/// Reads the paged-results control of a search's response: the cookie of the next page
/// (empty on the last page) and the server's estimate of the whole list (0: none). True
/// when there is no such control; false when it cannot be read.
bool read_page_cookie(LDAP* ld, LDAPControl** controls, std::string& cookie, ber_int_t& count);

}  // namespace ostrel_posix
