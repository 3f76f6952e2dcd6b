// The private domain controller of the tests (tests/ad/harness.sh): the settings lines that
// point ostrel at it, and emptying its accounts container between tests. Tests that need
// it skip when OSTREL_TEST_AD_URI is not set.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TestDomain {
  std::string uri, base, bind_dn, bind_pw_file, ca_file;  // OSTREL_TEST_AD_*
};

/// The domain named by the environment, or none when OSTREL_TEST_AD_URI is unset.
std::optional<TestDomain> test_domain();

/// The settings lines for ostrel to use the domain.
std::vector<std::string> domain_settings(const TestDomain& domain);

/// Points this process's platform layer at the domain (for accounts made through it).
void use_domain(const TestDomain& domain);

/// Deletes every account of the accounts container (their group memberships go with
/// them). False with a reason in *error.
bool reset_domain(const TestDomain& domain, std::string* error);
