// The two places accounts can live: the embedded store (an SQLite file) and a directory
// server (LDAP). The Net*/LogonUserW entry points check what is common once (host rule,
// parameters, names, passwords, fields, injected faults), then call the active backend
// through this table; the backend does not check those again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/names.h"
#include "platform/posix/net_buffer.h"

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
  DWORD (*replace_user)
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
};

const Backend& store_backend();
const Backend& directory_backend();

/// The backend that the last platform_set_account_db chose.
const Backend& active_backend();

/// True for "ldap://", "ldaps://" and "ldapi://" (case-insensitive): a directory, not a file.
bool is_directory_uri(std::string_view path);

/// Names the store file (empty: none) / the directory URI (empty: none); each closes its
/// connection when the name changes.
void set_store_path(const std::string& path);
void set_directory_uri(const std::string& uri);

/// Closes every connection to the directory (for tests and a change of settings).
void close_directory();

}  // namespace ostrel_posix
