// What the migration is told on its command line: the store to read and the directory to
// write to, named directly or through an Ostrel settings file.
#pragma once

#include <string>
#include <vector>

#include "directory.h"

namespace migrate {

struct Options {
  std::string store_path;
  Target target;
};

/// Reads the directory keywords (account_db, ldap_base, ldap_bind_dn, ldap_bind_pw_file)
/// from the text of a settings file: a keyword, one blank or tab, the value; the last
/// line of a keyword counts. False with a reason when one is missing or account_db is
/// not a directory URI.
bool target_from_settings(const std::string& text, Target* target, std::string* error);

/// Parses the arguments after the program name: <store> <settings file>, or
/// <store> <uri> <base dn> <bind dn> <bind password file>. False with a reason.
bool parse_arguments(const std::vector<std::string>& args, Options* options, std::string* error);

}  // namespace migrate
