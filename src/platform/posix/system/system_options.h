// The settings of the host-account backend, as the settings file gave them, and the paths
// and defaults that follow from them.
#pragma once

#include <optional>
#include <string>

namespace ostrel_posix {

struct SystemOptions {
  std::string password_file = "/etc/passwd";
  std::string shadow_file = "/etc/shadow";
  std::string group_file;    // "group" beside the password file
  std::string gshadow_file;  // "gshadow" beside the group file, kept when it exists
  // Former password hashes, in pam_pwhistory's format: "security/opasswd" beside the
  // password file.
  std::string opasswd_file;
  bool shadow = true;
  std::optional<unsigned long> base_uid;  // null: UID_MIN of login.defs
  std::string home_path;                  // empty: a set without home= leaves it empty
  std::string shell = "/usr/sbin/nologin";
  // Shadow ageing fields of new accounts, each digits or empty.
  std::string sp_min = "0", sp_max = "99999", sp_warn = "7", sp_inact, sp_expire;
};

/// The options last set (defaults before any).
SystemOptions system_options();

/// The directory part of path ("." when it has none).
std::string directory_of(const std::string& path);

}  // namespace ostrel_posix
