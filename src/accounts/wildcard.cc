// Account name patterns: "?" one character, "*" any run, backslash escapes the next
// character, "[...]" a set of characters (with "^" negated, "a-z" ranges). Characters
// compare as bytes, so matching is case-sensitive.
#include <cstring>

#include "accounts/accounts.h"

namespace {

// Ranges compare characters as signed 8-bit values: bytes 0x80..0xFF order below 0x00.
bool in_range(char low, char high, char c) {
  const auto lo = static_cast<signed char>(low);
  const auto hi = static_cast<signed char>(high);
  const auto ch = static_cast<signed char>(c);
  return lo <= ch && ch <= hi;
}

// Matches text character c against the set whose first member stands at p (just after
// the "["). On a match returns the pattern position past the closing "]"; otherwise
// null. A set that the pattern ends inside (no closing "]", or a range cut by the end)
// never matches: the pattern is malformed, and nothing past its terminator is read.
const char* match_set(const char* p, char c) {
  bool negated = false;
  if (*p == '^') {
    negated = true;
    ++p;
  }
  bool matched = false;
  char previous = 0;
  if (*p == ']' || *p == '-') {  // a literal first member
    matched = (*p == c);
    previous = *p;
    ++p;
  }
  while (*p != ']') {
    if (*p == '\0') return nullptr;
    if (*p == '-') {
      if (p[1] == ']') {  // a "-" just before the "]" is a literal member
        matched = matched || c == '-';
        ++p;
        continue;
      }
      if (p[1] == '\0') return nullptr;
      matched = matched || in_range(previous, p[1], c);
      previous = p[1];
      p += 2;
      continue;
    }
    matched = matched || (*p == c);
    previous = *p;
    ++p;
  }
  if (matched == negated) return nullptr;
  return p + 1;
}

}  // namespace

int wildcard_match(const char* text, const char* pattern) {
  if (!text || !pattern) return 0;
  const char* t = text;
  const char* p = pattern;
  for (;;) {
    if (*p == '\0') return *t == '\0' ? 1 : 0;
    if (*t == '\0' && *p != '*') return -1;
    switch (*p) {
      case '?':
        ++t;
        ++p;
        break;
      case '\\':
        // The escaped character compares literally; a backslash at the very end meets
        // the terminator, which no text character equals.
        ++p;
        if (*p != *t) return 0;
        ++t;
        ++p;
        break;
      case '*': {
        while (*p == '*') ++p;
        if (*p == '\0') return 1;
        // Try the rest of the pattern at each text position up to the last character;
        // the first answer other than 0 ends the search, so -1 passes straight up.
        for (; *t != '\0'; ++t) {
          const int result = wildcard_match(t, p);
          if (result != 0) return result;
        }
        return -1;
      }
      case '[': {
        const char* next = match_set(p + 1, *t);
        if (!next) return 0;
        p = next;
        ++t;
        break;
      }
      default:
        if (*p != *t) return 0;
        ++t;
        ++p;
        break;
    }
  }
}

int name_matches(const char* pattern, const char* name) {
  if (pattern && std::strcmp(pattern, "*") == 0) return 1;
  return wildcard_match(name, pattern) == 1 ? 1 : 0;
}
