// The process-wide Settings store.
#include "settings/settings.h"

Settings& settings() {
  static Settings store;
  return store;
}

void release_settings() {
  Settings& s = settings();
  for (std::optional<std::string>* field :
       {&s.work_path, &s.group, &s.script_path, &s.host, &s.password_file, &s.base_uid, &s.uname,
        &s.home_path, &s.home_owner, &s.script, &s.shadow_file, &s.sp_expire, &s.sp_min, &s.sp_max, &s.sp_warn,
        &s.sp_inact, &s.account_db, &s.ldap_base, &s.ldap_bind_dn, &s.ldap_bind_pw_file,
        &s.ldap_ca_file, &s.password_deny_list}) {
    field->reset();
  }
}

void reset_settings_for_tests() {
  settings() = Settings{};
}
