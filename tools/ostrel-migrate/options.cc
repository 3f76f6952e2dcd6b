#include "options.h"

#include <fstream>
#include <sstream>

namespace migrate {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string trimmed(const std::string& text) {
  std::size_t start = 0, end = text.size();
  while (start < end && is_blank(text[start])) ++start;
  while (end > start && is_blank(text[end - 1])) --end;
  return text.substr(start, end - start);
}

}  // namespace

bool target_from_settings(const std::string& text, Target* target, std::string* error) {
  struct Wanted {
    const char* keyword;
    std::string* field;
    bool seen;
  } wanted[] = {{"account_db", &target->uri, false},
                {"ldap_base", &target->base, false},
                {"ldap_bind_dn", &target->bind_dn, false},
                {"ldap_bind_pw_file", &target->bind_pw_file, false}};
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::size_t start = 0;
    while (start < line.size() && is_blank(line[start])) ++start;
    std::size_t end = start;
    while (end < line.size() && !is_blank(line[end])) ++end;
    const std::string keyword = line.substr(start, end - start);
    for (Wanted& w : wanted) {
      if (keyword != w.keyword) continue;
      *w.field = trimmed(end < line.size() ? line.substr(end + 1) : std::string());
      w.seen = true;
    }
  }
  for (const Wanted& w : wanted) {
    if (!w.seen || w.field->empty()) {
      *error = std::string("the settings name no ") + w.keyword;
      return false;
    }
  }
  if (!is_directory_uri(target->uri)) {
    *error = "account_db is not a directory URI (ldap://, ldaps:// or ldapi://): " + target->uri;
    return false;
  }
  return true;
}

bool parse_arguments(const std::vector<std::string>& args, Options* options, std::string* error) {
  if (args.size() == 2) {
    options->store_path = args[0];
    std::ifstream in(args[1], std::ios::binary);
    if (!in) {
      *error = "cannot read the settings file " + args[1];
      return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return target_from_settings(text.str(), &options->target, error);
  }
  if (args.size() == 5) {
    options->store_path = args[0];
    options->target = {args[1], args[2], args[3], args[4]};
    if (!is_directory_uri(options->target.uri)) {
      *error = "not a directory URI (ldap://, ldaps:// or ldapi://): " + options->target.uri;
      return false;
    }
    return true;
  }
  *error = "wrong number of arguments";
  return false;
}

}  // namespace migrate
