// The directory side of the migration: one connection bound as the service account,
// account entries and group memberships written the way Ostrel's directory backend
// reads them (uid=<name>,ou=users,<base>; cn=<group>,ou=groups,<base>).
#pragma once

#include <ldap.h>

#include <memory>
#include <string>
#include <string_view>

#include "store_reader.h"

namespace migrate {

struct Target {
  std::string uri;
  std::string base;
  std::string bind_dn;
  std::string bind_pw_file;
};

struct Unbinder {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Connection = std::unique_ptr<LDAP, Unbinder>;

/// True for the URI schemes of a directory (ldap://, ldaps://, ldapi://).
bool is_directory_uri(std::string_view text);

/// Opens the directory and binds as the service account, with the password read from
/// its file (refused unless only its owner may read it). StartTLS is required for
/// ldap:// to anything but this machine. Empty with a reason in *error on failure.
Connection connect_directory(const Target& target, std::string* error);

/// The value escaped for use in a DN (RFC 4514).
std::string escape_dn_value(std::string_view value);

/// The userPassword value of a store hash: {ARGON2}<hash> for argon2, the {CRYPT} form
/// of a crypt(3) hash brought in as it is; empty for a kind the directory does not verify.
std::string directory_password(const std::string& hash);

/// Adds the entry of one account, its hash kept as it is (directory_password). The LDAP
/// result code (LDAP_SUCCESS, LDAP_ALREADY_EXISTS...).
int add_account(LDAP* ld, const std::string& base, const StoredAccount& account);

/// Makes the account a member of the group, creating the group when the directory has
/// none of that name. The LDAP result code; LDAP_TYPE_OR_VALUE_EXISTS when it was one.
int add_membership(LDAP* ld, const std::string& base, const Membership& membership);

}  // namespace migrate
