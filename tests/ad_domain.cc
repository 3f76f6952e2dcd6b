#include "ad_domain.h"

#include <cstdlib>

#include "platform/platform.h"

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string narrow(const WCHAR* text) {
  std::string out;
  for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));  // test names are ASCII
  return out;
}

std::u16string wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

}  // namespace

std::optional<TestDomain> test_domain() {
  if (env("OSTREL_TEST_AD_URI").empty()) return std::nullopt;
  return TestDomain{env("OSTREL_TEST_AD_URI"), env("OSTREL_TEST_AD_BASE"),
                    env("OSTREL_TEST_AD_BIND_DN"), env("OSTREL_TEST_AD_BIND_PW_FILE"),
                    env("OSTREL_TEST_AD_CA_FILE")};
}

std::vector<std::string> domain_settings(const TestDomain& domain) {
  return {"account_db ad:" + domain.uri, "ldap_base " + domain.base,
          "ldap_bind_dn " + domain.bind_dn, "ldap_bind_pw_file " + domain.bind_pw_file,
          "ldap_ca_file " + domain.ca_file};
}

void use_domain(const TestDomain& domain) {
  platform_set_directory_options(domain.base.c_str(), domain.bind_dn.c_str(),
                                 domain.bind_pw_file.c_str());
  platform_set_tls_ca_file(domain.ca_file.c_str());
  platform_set_account_db(("ad:" + domain.uri).c_str());
}

bool reset_domain(const TestDomain& domain, std::string* error) {
  use_domain(domain);
  std::vector<std::string> names;
  DWORD resume = 0, rc = 0;
  do {
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    rc = NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, &resume);
    if (rc != NERR_Success && rc != ERROR_MORE_DATA) {
      *error = "listing the domain's accounts: " + std::to_string(rc);
      return false;
    }
    const auto* users = reinterpret_cast<USER_INFO_1*>(buffer);
    for (DWORD i = 0; i < read; ++i) names.push_back(narrow(users[i].usri1_name));
    NetApiBufferFree(buffer);
  } while (rc == ERROR_MORE_DATA);
  for (const std::string& name : names) {
    if (NetUserDel(nullptr, wide(name).c_str()) != NERR_Success) {
      *error = "deleting " + name;
      return false;
    }
  }
  platform_set_account_db(nullptr);
  return true;
}
