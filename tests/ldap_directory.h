// The private directory server of the tests (tests/ldap/harness.sh): where it is, the
// settings lines that point ostrel at it, and emptying it between tests. Tests that need
// it skip when OSTREL_TEST_LDAP_URI is not set.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TestDirectory {
  std::string uri;           // OSTREL_TEST_LDAP_URI (ldap://127.0.0.1:<port>)
  std::string ldapi_uri;     // OSTREL_TEST_LDAPI_URI (the unix socket), may be empty
  std::string base;          // OSTREL_TEST_LDAP_BASE
  std::string bind_dn;       // OSTREL_TEST_LDAP_BIND_DN
  std::string bind_pw_file;  // OSTREL_TEST_LDAP_BIND_PW_FILE
};

/// The directory named by the environment, or none when OSTREL_TEST_LDAP_URI is unset.
std::optional<TestDirectory> test_directory();

/// The settings lines for ostrel to use the directory at uri.
std::vector<std::string> directory_settings(const TestDirectory& directory, const std::string& uri);

/// Points this process's platform layer at the directory (for accounts made through it).
void use_directory(const TestDirectory& directory);

/// Deletes every account entry (other entries, such as a decoy for logons, stay) and gives every
/// group back its placeholder member alone (groups first, so that no later member clean-up of the
/// server can race a new account of the same name). False with a reason in *error.
bool reset_directory(const TestDirectory& directory, std::string* error);
