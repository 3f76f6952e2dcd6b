// The platform interfaces the account code calls. On Windows these are the system's own
// (network management, logon, registry, code page conversion); elsewhere the same names
// are declared here and implemented under platform/posix over an embedded account store.
#pragma once

#include <cstddef>
#include <cstdio>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first; the network management headers rely on its types.
#include <lm.h>
#else
#include "platform/posix/entry/win_api.h"
#endif

/// A UTF-16 literal of the build's WCHAR type: OSTREL_WIDE("Guests").
#if defined(_WIN32)
#define OSTREL_WIDE(s) L##s
#else
#define OSTREL_WIDE(s) u##s
#endif

// ---- Ostrel's own platform functions, on every build -----------------------------------

/// Called once by the ostrel program at its start, before any other platform call: the
/// program runs on one thread, so the libraries it uses may drop their own locking for the
/// whole process. A module loaded into another program never calls it. Windows ignores it.
void platform_start_single_threaded_program();

/// Names the account store file (POSIX). Called once the settings are read; the store
/// is opened on first use. The Windows build keeps its accounts in the system and
/// ignores it.
void platform_set_account_db(const char* path);

/// The directory's base DN, the service account's DN and the file holding its password,
/// used when the account database is an LDAP URI (POSIX); null for one not set. Called
/// once the settings are read, before the first account call. The Windows build ignores it.
void platform_set_directory_options(const char* base_dn, const char* bind_dn,
                                    const char* bind_pw_file);

/// The file of the certificate authorities that a domain controller's certificate must
/// chain to (an Active Directory account_db, POSIX); null or empty for the system's own.
/// Called once the settings are read. The Windows build ignores it.
void platform_set_tls_ca_file(const char* ca_file);

/// The settings of the host-account backend ("account_db system", POSIX): the password
/// and shadow files (the group file lies beside the password file), whether hashes live in
/// the shadow file, the first uid of new accounts, the parent of homes a set names none
/// for, the default login shell and the shadow ageing fields of new accounts. Null for a
/// setting not given. Called once the settings are read. The Windows build ignores it.
struct PlatformSystemOptions {
  const char* password_file = nullptr;
  const char* shadow_file = nullptr;
  bool shadow = true;
  const char* base_uid = nullptr;
  const char* home_path = nullptr;
  const char* shell = nullptr;
  const char* sp_expire = nullptr;
  const char* sp_min = nullptr;
  const char* sp_max = nullptr;
  const char* sp_warn = nullptr;
  const char* sp_inact = nullptr;
};
void platform_set_system_options(const PlatformSystemOptions& options);

/// The account lockout policy of the POSIX backends, with the meaning of Windows' policy:
/// wrong passwords before an account locks (0: never), minutes it then stays locked (0:
/// until an administrator's set unlocks it) and minutes after a wrong password at which
/// the count starts again. A locked account refuses every logon with
/// ERROR_ACCOUNT_LOCKED_OUT and reports UF_LOCKOUT in its record; a set that clears
/// UF_LOCKOUT, and any new password, unlocks it. The embedded store and the host's
/// accounts count under this policy; a directory counts under its own password policy.
/// Windows ignores it: the host's own lockout policy applies.
/// With a source (platform_set_logon_source), the threshold counts the wrong passwords of one
/// source for one account: that source is refused for that account (ERROR_ACCOUNT_LOCKED_OUT)
/// for the duration, while the owner's other sources are not; the account as a whole locks
/// when all wrong passwords together reach account_threshold (0: ten times threshold, at
/// most 100). A wrong password repeated within the window (a device holding a stale one)
/// counts once.
struct PlatformLockoutPolicy {
  unsigned threshold = 0;
  unsigned duration_minutes = 30;
  unsigned window_minutes = 30;
  unsigned account_threshold = 0;
};
void platform_set_lockout_policy(const PlatformLockoutPolicy& policy);

/// Where the counts of wrong passwords per source are kept on this host for a directory or
/// a domain (POSIX; null or empty: /var/lib/ostrel/lockout), one file per account in the
/// format of the host's faillock tallies. A directory another user could write is refused
/// as a misconfiguration. Windows ignores it.
void platform_set_lockout_tally_dir(const char* directory);

/// The password policy of the POSIX backends Ostrel writes (the embedded store, the host's
/// accounts, a directory), with the meaning of Windows' local policy: a new password
/// (NetUserAdd, NetUserSetInfo, platform_replace_user) must have min_length characters or
/// more (0: any), with complexity three of upper case, lower case, digits and other
/// characters and not the account's name, must not be the current password or one of the
/// history - 1 before it (0: none remembered; a directory keeps its own password policy's
/// history instead), and must not be listed in deny_list (a file of sorted SHA-1 hashes in
/// hex, "HEX40:count" a line; null or empty: none). A refusal is NERR_PasswordTooShort. An
/// Active Directory domain keeps its own policy. Windows ignores it: the host's own policy
/// applies.
struct PlatformPasswordPolicy {
  unsigned min_length = 0;
  bool complexity = false;
  unsigned history = 0;
  const char* deny_list = nullptr;
};
void platform_set_password_policy(const PlatformPasswordPolicy& policy);

/// Where a password refused by the policy is reported (POSIX): the account and the rule
/// that refused it, never the password. Null reports nothing. Windows ignores it.
void platform_set_password_reporter(void (*report)(const char* account, const char* rule));

/// The source of the logons that follow on this thread: the client's address as the mail
/// server wrote it (PAM_RHOST), or null or empty for none (the check command, a PAM caller
/// without one), which counts as Windows counts, for the account as a whole. IPv6
/// addresses are counted per /64. Windows ignores it.
void platform_set_logon_source(const char* source);

/// Why the last LogonUserW of this thread was refused, for the log: a wrong password, one
/// of the account's recent wrong passwords again (counted once: a device holding a stale
/// password, not a guess), a name without an account, a source throttled for that account,
/// a locked account, an account or store that could not be read; kNone after an accepted
/// logon or where the platform does not say (Windows).
enum class LogonRefusal {
  kNone,
  kWrongPassword,
  kRepeatedPassword,
  kUnknownName,
  kThrottledSource,
  kLockedAccount,
  kUnavailable
};
LogonRefusal platform_last_logon_refusal();

/// Clears memory that held a secret, in a way the compiler cannot drop.
void secure_wipe(void* data, std::size_t size);

/// Creates one directory; 0 on success, else -1 with errno set (EEXIST, EACCES, ENOENT...).
/// With a home owner (POSIX), a directory it makes belongs to that user, or is not made.
int make_directory(const char* path);

/// The user of this host to whom make_directory gives the directories it makes (its uid and
/// primary group), for backends whose accounts have no uid of their own: the store, a
/// directory, a domain. Null or empty: they stay the process's. A name that is no user, or
/// a directory that cannot be given (not run as root), fails the directory (EINVAL,
/// EPERM). The host's accounts give each home to its account. Windows ignores it.
void platform_set_home_owner(const char* user);

/// Deletes a file; 0 on success, else -1 with errno set.
int remove_file(const char* path);

/// The current process id.
int current_process_id();

/// Creates a file for writing only when no file of that name exists; the stream, or null
/// with errno set (EEXIST when the name is taken).
std::FILE* create_file_exclusive(const char* path);

/// Opens a settings file for reading ("r") or a log for appending ("a"), refusing a file
/// that another local user could have planted or changed. POSIX builds refuse a file that
/// is not a regular file, is owned by another user than this process's (root excepted) or
/// is writable by group or others, a log reached through a symbolic link, and a settings
/// file reached through another user's link; a new log gets mode 0640 at most. Windows
/// leaves files to the system's access control lists. Returns the stream, or null with
/// errno set; *refusal (when given) gets the reason of a refusal, else null.
std::FILE* open_trusted_file(const char* path, const char* mode, const char** refusal);

/// Where a refused file is reported (POSIX): a store, password file or other file the
/// settings name that fails the trust rule of open_trusted_file (or, for a secret, is
/// readable by group or others), or that cannot be used at all. The account call that met
/// it fails with ERROR_BAD_CONFIGURATION, a misconfiguration every command answers as an
/// outage. The program logs the path and the reason; null reports nothing. Windows leaves
/// files to the system.
void platform_set_file_reporter(void (*report)(const char* path, const char* reason));

/// Removes the account named by record->usri1_name from server and adds record (level 1,
/// as NetUserAdd takes it) in its place, as one step where the platform can: a process
/// that dies part-way leaves the old account or the new one, never neither. The removal
/// takes the account's group memberships with it, as NetUserDel does.
/// *removal_status gets the removal's code (NetUserDel's codes): when it is not 0 nothing
/// was added and it is also returned. When it is 0 the return value is the add's code
/// (NetUserAdd's codes, parm_err as it sets it); a record the add would refuse is refused
/// before anything is removed, where the platform checks it first.
/// The embedded store removes and inserts in one transaction, the password hashed before
/// it begins; a directory keeps the entry, takes it out of its groups, then replaces its
/// contents in one modify; Windows offers no single call and removes, then adds.
NET_API_STATUS platform_replace_user(LPCWSTR server, USER_INFO_1* record, LPDWORD parm_err,
                                     NET_API_STATUS* removal_status);
