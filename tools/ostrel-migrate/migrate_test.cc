#include <gtest/gtest.h>

#include <string>

#include "directory.h"
#include "options.h"

namespace {

TEST(MigrateDn, EscapesWhatWouldChangeTheName) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"alice", "alice"},
      {"a,b+c=d", "a\\,b\\+c\\=d"},
      {"\"q\" <x>;", "\\\"q\\\" \\<x\\>\\;"},
      {"back\\slash", "back\\\\slash"},
      {"#first", "\\#first"},
      {"mid#dle", "mid#dle"},
      {" edge ", "\\ edge\\ "},
      {"in side", "in side"},
      {std::string("nul\0x", 5), "nul\\00x"},
      {"Jos\xC3\xA9", "Jos\xC3\xA9"},
  };
  for (const auto& c : cases) EXPECT_EQ(migrate::escape_dn_value(c.in), c.out) << c.in;
}

// The store's argon2 and a crypt(3) hash brought in reach the directory in forms it
// verifies; other kinds brought in are not copied.
TEST(MigrateDn, PasswordValuesTheDirectoryVerifies) {
  const struct {
    const char *hash, *value;
  } cases[] = {
      {"$argon2id$v=19$m=19456,t=2,p=1$s$d", "{ARGON2}$argon2id$v=19$m=19456,t=2,p=1$s$d"},
      {"{ARGON2I}$argon2i$v=19$m=4096,t=3,p=1$s$d", "{ARGON2}$argon2i$v=19$m=4096,t=3,p=1$s$d"},
      {"{CRYPT}$6$salt$digest", "{CRYPT}$6$salt$digest"},
      {"{SSHA512}AAAA", ""},
      {"$6$salt$digest", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(migrate::directory_password(c.hash), c.value) << c.hash;
}

TEST(MigrateOptions, SettingsNameTheDirectory) {
  const struct {
    const char* text;
    bool ok;
    const char* uri;
    const char* pw_file;
  } cases[] = {
      {"path /srv\naccount_db ldap://127.0.0.1:389\nldap_base dc=x\nldap_bind_dn cn=svc\n"
       "ldap_bind_pw_file /etc/pw  \r\n",
       true, "ldap://127.0.0.1:389", "/etc/pw"},
      {"account_db ldapi:///\naccount_db ldaps://dir.example\nldap_base dc=x\n"
       "ldap_bind_dn cn=svc\nldap_bind_pw_file pw",
       true, "ldaps://dir.example", "pw"},
      {"account_db /srv/ostrel.db\nldap_base dc=x\nldap_bind_dn cn=svc\nldap_bind_pw_file pw\n",
       false, "", ""},
      {"account_db ldap://h\nldap_base dc=x\nldap_bind_dn cn=svc\n", false, "", ""},
      {"account_db ldap://h\nldap_base\nldap_bind_dn cn=svc\nldap_bind_pw_file pw\n", false, "",
       ""},
      {"ACCOUNT_DB ldap://h\nldap_base dc=x\nldap_bind_dn cn=svc\nldap_bind_pw_file pw\n", false,
       "", ""},
  };
  for (const auto& c : cases) {
    migrate::Target target;
    std::string error;
    ASSERT_EQ(migrate::target_from_settings(c.text, &target, &error), c.ok) << c.text << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(target.uri, c.uri);
    EXPECT_EQ(target.base, "dc=x");
    EXPECT_EQ(target.bind_dn, "cn=svc");
    EXPECT_EQ(target.bind_pw_file, c.pw_file);
  }
}

}  // namespace
