// The three places accounts can live: the embedded store (an SQLite file), a directory
// server (LDAP) and the host's own account files (passwd, shadow, group). The Net*/LogonUserW entry
// points check what is common once (host rule, parameters, names, passwords, fields, injected
// faults), then call the active backend through this table; the backend does not check those again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/common/names.h"
#include "platform/posix/common/net_buffer.h"

namespace ostrel_posix {

/// A checked account or group name: as given (UTF-16 and UTF-8) and its folded key.
struct AccountName {
  std::u16string_view wide;
  std::string text;
  std::string key;
};

struct Backend {
  /// Adds an account; password is null for an account without one. 0, NERR_UserExists or
  /// a backend result code.
  DWORD (*add_user)(const AccountName& name, const UserFields& fields, const std::string* password);
  /// Replaces the fields of an account, and its password unless password is null.
  DWORD (*set_user)(const AccountName& name, const UserFields& fields, const std::string* password);
  /// Appends the account to records; NERR_UserNotFound when there is none.
  DWORD (*get_user)(const AccountName& name, UserRecords& records);
  DWORD (*delete_user)(const AccountName& name);
  /// Removes the account and adds one of the same name in its place, as one step where
  /// the backend can. removal gets the removal's code (0, NERR_UserNotFound or a backend
  /// result code); when it is not 0 nothing changed. Otherwise the add's code.
  DWORD(*replace_user)
  (const AccountName& name, const UserFields& fields, const std::string* password, DWORD& removal);
  /// One page of the listing (resume_handle may be null: no handle wanted). 0 when the
  /// list is done, ERROR_MORE_DATA with *resume_handle set while more remain,
  /// ERROR_INVALID_PARAMETER for an unknown handle, or a backend result code.
  DWORD(*enumerate)
  (DWORD filter, DWORD preferred_length, DWORD* resume_handle, UserRecords& records, DWORD& total);
  /// Adds all members to the group, or none: 0, NERR_GroupNotFound, ERROR_NO_SUCH_MEMBER,
  /// ERROR_MEMBER_IN_ALIAS or a backend result code.
  DWORD (*add_members)(const AccountName& group, const std::vector<AccountName>& members);
  /// Checks a password. name is null for a name no local account can have (malformed or
  /// of a foreign domain), password null for a password that cannot be converted; both
  /// are refused at the cost of a real check. 0, ERROR_LOGON_FAILURE,
  /// ERROR_ACCOUNT_DISABLED or a backend result code.
  DWORD (*logon)(const AccountName* name, const std::string* password);
  /// The backend's own rule for account names, or null for Windows' rule (names.h).
  bool (*valid_name)(std::u16string_view name);
  /// Checks the fields of a record beyond the shared limits, or null: 0, or
  /// ERROR_INVALID_PARAMETER with the field's index in parm_index.
  DWORD (*check_fields)(const UserFields& fields, DWORD& parm_index);
};

const Backend& store_backend();
const Backend& directory_backend();
const Backend& system_backend();
const Backend& domain_backend();

/// The backend that the last platform_set_account_db chose.
const Backend& active_backend();

/// True when the active backend serves the accounts of the server whose key (upper-cased,
/// without backslashes) this is: one of the domain controllers of a domain.
bool backend_names_server(const std::string& key);

/// True when name is a valid account name for the active backend.
bool backend_valid_name(std::u16string_view name);

/// The name as a view with its key when the active backend takes it as an account name;
/// else false.
bool backend_account_name(const WCHAR* name, std::u16string_view& view, std::string& key);

/// True for "ldap://", "ldaps://" and "ldapi://" (case-insensitive): a directory, not a file.
bool is_directory_uri(std::string_view path);

/// Names the store file (empty: none) / the directory URI (empty: none); each closes its
/// connection when the name changes.
void set_store_path(const std::string& path);
void set_directory_uri(const std::string& uri);

/// The account_db value that chooses the host's own accounts.
inline constexpr std::string_view kSystemAccounts = "system";

/// The prefix of an account_db value that names the domain controllers of an Active
/// Directory domain ("ad:ldaps://dc1.example.org", several separated by blanks).
inline constexpr std::string_view kDomainPrefix = "ad:";

/// Sets the domain controllers (empty: none); closes the connections when they change.
void set_domain_uri(const std::string& uris);

/// True when key (a server name upper-cased, without backslashes) names one of the
/// domain controllers: the host of its URI, or that host's first label.
bool names_domain_controller(const std::string& key);

/// Closes every connection to the directory (for tests and a change of settings).
void close_directory();

}  // namespace ostrel_posix
