// File-name cleaning, path joining and base names. Each function fills a process-wide
// 512-byte result buffer; results longer than 511 characters are cut to fit.
#include <cstring>

#include "text/text.h"

namespace {

#if defined(_WIN32)
char separator = '\\';
#else
char separator = '/';
#endif

char sanitized[kLineBuffer];
char joined[kLineBuffer];
char base[kLineBuffer];

bool is_kept(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= 'a' && c <= 'z') return true;
  if (c >= '0' && c <= '9') return true;
  switch (c) {
    case '.':
    case '_':
    case '*':
    case ':':
    case '@':
      return true;
    default:
      return c == static_cast<unsigned char>(separator);
  }
}

}  // namespace

char path_separator() {
  return separator;
}

void set_path_separator_for_tests(char new_separator) {
  separator = new_separator;
}

const char* sanitize_name(const char* text) {
  sanitized[0] = '\0';
  if (text == nullptr) return sanitized;
  int length = 0;
  for (const char* p = text; *p != '\0' && length < kLineLimit; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ') {
      sanitized[length++] = '_';
    } else if (is_kept(c)) {
      sanitized[length++] = static_cast<char>(c);
    }
  }
  // Trailing blanks became '_': drop them, but a name of '_' alone stays.
  while (length > 1 && sanitized[length - 1] == '_') --length;
  sanitized[length] = '\0';
  return sanitized;
}

const char* join_path(const char* directory, const char* file_name) {
  if (directory != nullptr && directory[0] == '\0') directory = nullptr;
  if (file_name != nullptr && file_name[0] == '\0') file_name = nullptr;
  const char* clean = sanitize_name(file_name);

  joined[0] = '\0';
  if (directory == nullptr && file_name == nullptr) return joined;
  if (file_name == nullptr) {
    copy_bounded(joined, directory, kLineLimit);
    return joined;
  }
  if (directory == nullptr) {
    copy_bounded(joined, clean, kLineLimit);
    return joined;
  }

  copy_bounded(joined, directory, kLineLimit);
  const std::size_t dir_length = std::strlen(joined);
  const bool dir_ends = dir_length > 0 && joined[dir_length - 1] == separator;
  const bool name_begins = clean[0] == separator;
  if (dir_ends && name_begins) {
    ++clean;
  } else if (!dir_ends && !name_begins) {
    const char sep[2] = {separator, '\0'};
    append_bounded(joined, sep, kLineLimit);
  }
  append_bounded(joined, clean, kLineLimit);
  return joined;
}

const char* base_name(const char* path, int strip) {
  base[0] = '\0';
  if (path == nullptr) return base;
  const char* last = std::strrchr(path, separator);
  copy_bounded(base, last == nullptr ? path : last + 1, kLineLimit);
  if (strip != 0) {
    char* dot = std::strchr(base, '.');
    if (dot != nullptr) *dot = '\0';
  }
  return base;
}
