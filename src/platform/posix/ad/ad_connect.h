// Connections to the domain controller: TLS always (ldaps:// or StartTLS on ldap://) with
// the configured CA file and the certificate checked, the service account's connection
// (opened on first use, reconnected once when the DC went away) and a connection of its
// own for logons, kept open across checks.
#pragma once

#include <ldap.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/directory/ldap_connect.h"

namespace ostrel_posix {

/// Serialises this process's use of the domain's connections and state, and starts the
/// platform call's network budget.
BackendLock lock_domain();

/// A new TLS connection to the first DC of the list that answers, not bound: 0 or a
/// Windows code.
DWORD open_domain(LdapPtr& out);

/// A new connection bound as the service account: 0 or a Windows code.
DWORD connect_domain_service(LdapPtr& out);

/// Runs op on the service connection (domain lock held), opening it when needed and once
/// more when the DC went away meanwhile. 0 with op's LDAP result in ldap_result and the
/// DC's diagnostic text in diagnostic (when not null), or the Windows code of a connection
/// that could not be had.
DWORD run_on_domain(const std::function<int(LDAP*)>& op, int& ldap_result,
                    std::string* diagnostic = nullptr);

/// A simple bind as dn on the logon connection (domain lock held), which stays open for
/// the next check: 0 with the LDAP result and diagnostic, or the Windows code of a
/// connection that could not be had.
DWORD bind_on_logon_connection(const std::string& dn, std::string_view password, int& ldap_result,
                               std::string& diagnostic);

/// The DC's diagnostic text of the last operation on ld.
std::string diagnostic_of(LDAP* ld);

/// The container of the accounts (the settings' base DN), the domain's DN (the base's
/// DC= components) and the DN of the builtin group name.
std::string domain_base();
std::string domain_dn();
std::string builtin_group_dn(const std::string& name);

/// Ends every listing in progress (domain lock held).
void close_domain_listings();

/// A counter that changes whenever the service connection is opened anew, for what is
/// kept per connection.
unsigned domain_connection_serial();

}  // namespace ostrel_posix
