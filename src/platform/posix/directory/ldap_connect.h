// Connections to the directory: the URI and its transport rule, the service account's
// password file, the process's service connection (opened on first use, reconnected once
// when the server went away) and fresh connections for logons and listings.
#pragma once

#include <ldap.h>
#include <sys/time.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/common/hashing.h"

namespace ostrel_posix {

/// Seconds any one network step of the directory and domain backends may take: the TCP
/// connection, the TLS handshake or StartTLS, a bind, an operation, a page of a listing.
inline constexpr int kDirectoryTimeoutSeconds = 5;

/// What one platform call of those backends may spend on the network in all, over every
/// step and every server of the list it tries: this many step timeouts. A server that
/// accepts connections and then says nothing costs a call one step timeout, and the next
/// server of the list gets the rest; a step the budget cannot cover fails as timed out.
inline constexpr int kCallBudgetSteps = 2;

/// The network budget of the platform call in progress on this thread. The first one made
/// on a thread where none runs starts it and ends it; one made inside it changes nothing.
/// Without a budget running, each step gets the step timeout.
class CallBudget {
 public:
  CallBudget();
  CallBudget(CallBudget&& other) noexcept;
  CallBudget& operator=(CallBudget&&) = delete;
  ~CallBudget();
  void end();

 private:
  bool owner_;
};

/// A backend's lock held for one platform call, with the call's network budget running
/// from when the lock is had.
class BackendLock {
 public:
  explicit BackendLock(std::mutex& mutex) : lock_(mutex) {}
  void unlock() {
    budget_.end();
    lock_.unlock();
  }

 private:
  std::unique_lock<std::mutex> lock_;
  CallBudget budget_;
};

/// The step timeout (kDirectoryTimeoutSeconds, unless a test set another).
std::chrono::milliseconds step_limit();

/// The time the next network step may take: longest (the step timeout unless given), cut
/// to what is left of the call's budget, and at least a millisecond, so that a spent
/// budget fails the step at once rather than meaning "no limit".
std::chrono::milliseconds step_time(std::chrono::milliseconds longest = step_limit());

/// A duration as the timeval libldap takes.
timeval to_timeval(std::chrono::milliseconds time);

/// Puts the next step's time (longest as for step_time) on ld: the library's network and
/// operation timeouts, and the socket's own send and receive timeouts, which bound a
/// blocking read the library makes after its poll (a reply cut off midway).
void limit_next_step(LDAP* ld, std::chrono::milliseconds longest = step_limit());

/// For tests: the step timeout from now on; zero puts back kDirectoryTimeoutSeconds.
void set_step_limit_for_tests(std::chrono::milliseconds limit);

/// How a URI is reached. Clear-text binds only travel over a local socket or loopback.
enum class Transport {
  kLocal,     // ldapi://, or ldap:// to 127.0.0.1, ::1 or localhost
  kTls,       // ldaps://
  kStartTls,  // ldap:// to any other host: StartTLS or nothing
  kInvalid,   // not one LDAP URI
};
Transport transport_for(const std::string& uri);

/// Reads the service account's password: the file's content without its trailing
/// newline. ERROR_BAD_CONFIGURATION (the file reported) when it fails the trust rule for
/// a secret (a link, another owner, writable or readable by group or others), cannot be
/// opened or read, or is empty (an empty password would bind anonymously).
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

/// Serialises this process's use of the service connection and the directory's state, and
/// starts the platform call's network budget.
BackendLock lock_directory();

/// The settings in force (directory lock held).
const DirectorySettings& directory_settings();

/// The step at which opening a connection stopped, with the LDAP result there.
enum class OpenStep { kInitialize, kOptions, kConnect, kStartTls, kHandshake, kDone };
struct OpenResult {
  OpenStep step;
  int ldap_result;
};

/// A connection to one server with a time limit on every step: the TCP connection made
/// here within the step's time (the library's own leaves the TLS handshake after it
/// unbounded, spinning on a server that says nothing), configure(ld) applied before
/// anything is sent, then TLS from the start for ldaps://, StartTLS when start_tls, or
/// nothing. ldapi:// goes through the library's own connect. kDone with out set, or where
/// it stopped.
OpenResult open_connection(const std::string& uri, bool start_tls,
                           const std::function<int(LDAP*)>& configure, LdapPtr& out);

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

/// The time of the next step (step_time()), for the calls that take it as an argument.
timeval* operation_timeout();

}  // namespace ostrel_posix
