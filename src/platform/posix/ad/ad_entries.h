// The domain's user entries as account fields: the attributes read, the filter of user
// accounts, an entry turned into fields, and the privilege its groups give.
#pragma once

#include <ldap.h>

#include <cstdint>
#include <set>
#include <string>

#include "platform/posix/common/names.h"

namespace ostrel_posix {

/// Attributes read for an account.
extern const char* const kDomainAccountAttributes[];

/// The filter of the user account name (escaped), or of every user account when name is
/// null.
std::string domain_account_filter(const std::string* name);

/// The DNs (upper-cased) of the groups whose members are administrators: the builtin
/// Administrators and the groups nested in it. Read once per service connection (domain
/// lock held): 0 or a Windows code.
DWORD admin_groups(const std::set<std::string>*& groups);

/// The account of an entry: its sAMAccountName, fields (flags from userAccountControl,
/// UF_LOCKOUT while the DC's computed flags say locked, priv from its groups) and the age
/// of its password in seconds. False when the entry has no name or a text is not UTF-8.
bool read_domain_account(LDAP* ld, LDAPMessage* entry, const std::set<std::string>& admins,
                         std::string& name, UserFields& fields, DWORD& password_age);

}  // namespace ostrel_posix
