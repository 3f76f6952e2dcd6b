// Settings file reader and the process-wide Settings store.
#pragma once

#include <optional>
#include <string>

/// The Settings store: one instance for the whole process. A text field is either
/// absent (std::nullopt) or a text, possibly empty.
struct Settings {
  std::optional<std::string> work_path;  // keyword "path"
  std::optional<std::string> group;
  std::optional<std::string> script_path;
  std::optional<std::string> host;
  std::optional<std::string> password_file;
  std::optional<std::string> base_uid;
  std::optional<std::string> uname;
  std::optional<std::string> home_path;
  std::optional<std::string> home_owner;  // user given the homes a set makes (POSIX)
  std::optional<std::string> script;  // keywords "script" and "shell"
  std::optional<std::string> shadow_file;
  std::optional<std::string> sp_expire;
  std::optional<std::string> sp_min;
  std::optional<std::string> sp_max;
  std::optional<std::string> sp_warn;
  std::optional<std::string> sp_inact;
  std::optional<std::string> account_db;  // account store file or LDAP URI (POSIX builds)
  std::optional<std::string> ldap_base;
  std::optional<std::string> ldap_bind_dn;
  std::optional<std::string> ldap_bind_pw_file;
  std::optional<std::string> ldap_ca_file;
  int shadow = 1;
  int log_passwords = 0;
  // The account lockout policy (keywords "lockout_threshold", "lockout_duration" and
  // "lockout_window"): wrong passwords before a lock (0: never) and minutes.
  unsigned lockout_threshold = 0;
  unsigned lockout_duration = 30;
  unsigned lockout_window = 30;
  // Wrong passwords from all sources together before the account as a whole locks
  // ("lockout_account_threshold"); 0: ten times lockout_threshold, at most 100.
  unsigned lockout_account_threshold = 0;
  // Where a directory's or domain's counts per source are kept ("lockout_tally_dir").
  std::optional<std::string> lockout_tally_dir;
  // The password policy ("password_min_length", "password_complexity", "password_history",
  // "password_deny_list"): none by default.
  unsigned password_min_length = 0;
  int password_complexity = 0;
  unsigned password_history = 0;
  std::optional<std::string> password_deny_list;
};

Settings& settings();

/// The text of a field, or null when it is absent.
inline const char* text_of(const std::optional<std::string>& field) {
  return field ? field->c_str() : nullptr;
}

/// Reads <name>.ini in directory (or the system directory's fallback file) into the
/// store. Returns 1 when a file was read, 0 when neither could be opened (the "-DEAD"
/// reply has been written).
int load_settings(const char* directory, const char* name);

/// Releases every text of the store (each becomes absent).
void release_settings();

/// Returns the store to its process-start state.
void reset_settings_for_tests();
