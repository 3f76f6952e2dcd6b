// One line of the settings file: a keyword and its value.
#include "settings/settings_internal.h"

namespace {

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool split_settings_line(const char* line, std::string* keyword, std::string* value) {
  keyword->clear();
  value->clear();
  const char* p = line;
  while (is_separator(*p)) ++p;
  if (*p == '\0') return false;

  const char* word = p;
  while (*p != '\0' && !is_separator(*p)) ++p;
  keyword->assign(word, p);
  if (*p == '\0') return true;

  const char* start = ++p;  // exactly one separator character
  while (*p != '\0' && *p != '\r' && *p != '\n') ++p;
  const char* end = p;
  // Trailing blanks and tabs go only when the value ended at the end of its line; a piece
  // of an overlong line or a last line without a newline keeps them.
  if (*p != '\0') {
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
  }
  value->assign(start, end);
  return true;
}
