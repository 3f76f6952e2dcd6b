// Connections to the directory: the URI and its transport rule, the service account's
// password file, the process's service connection (opened on first use, reconnected once
// when the server went away) and fresh connections for logons and listings.
#pragma once

#include <ldap.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/common/hashing.h"

namespace ostrel_posix {

/// Seconds any one directory call may take: connecting, TLS, and each operation.
inline constexpr int kDirectoryTimeoutSeconds = 5;

/// How a URI is reached. Clear-text binds only travel over a local socket or loopback.
enum class Transport {
  kLocal,     // ldapi://, or ldap:// to 127.0.0.1, ::1 or localhost
  kTls,       // ldaps://
  kStartTls,  // ldap:// to any other host: StartTLS or nothing
  kInvalid,   // not one LDAP URI
};
Transport transport_for(const std::string& uri);

/// Reads the service account's password: the file's content without its trailing
/// newline. ERROR_ACCESS_DENIED when it is not a regular file, group or others may read
/// it, it cannot be read, or it is empty (an empty password would bind anonymously).
DWORD read_bind_password(const std::string& path, SecretText& password);

/// A server that drops the connection while the library writes to it must not end the
/// process: a write to the dead socket then fails with EPIPE instead. A handler the
/// program installed is left alone.
void ignore_broken_pipes();

struct LdapCloser {
  void operator()(LDAP* ld) const;
};
using LdapPtr = std::unique_ptr<LDAP, LdapCloser>;

struct DirectorySettings {
  std::string uri, base, bind_dn, bind_pw_file;
};

/// Serialises this process's use of the service connection and the directory's state.
std::unique_lock<std::mutex> lock_directory();

/// The settings in force (directory lock held).
const DirectorySettings& directory_settings();

/// A connection handle with timeouts, referrals off and the transport's TLS in place, not
/// bound: 0 or a Windows code.
DWORD open_directory(const DirectorySettings& settings, LdapPtr& out);

/// A new connection bound as the service account: 0 or a Windows code.
DWORD connect_service(const DirectorySettings& settings, LdapPtr& out);

/// Runs op on the service connection (directory lock held), opening it when needed and
/// once more when the server went away meanwhile. 0 with op's LDAP result in ldap_result,
/// or the Windows code of a connection that could not be had.
DWORD run_on_service(const std::function<int(LDAP*)>& op, int& ldap_result);

/// The DNs of an account, a group, the entries' parent, and the decoy for refused logons.
std::string user_dn(const std::string& name);
std::string group_dn(const std::string& name);
std::string users_dn();
std::string decoy_dn();

/// Ends every listing in progress and closes its connection (directory lock held).
void close_directory_listings();

/// The timeout of one operation, for the calls that take it as an argument.
timeval* operation_timeout();

}  // namespace ostrel_posix
