// Bounded copies, null-safe comparisons and the growing heap append.
#include "text/text.h"

#include <cstdlib>
#include <cstring>

char* copy_bounded(char* dest, const char* src, int n) {
  if (dest == nullptr) return nullptr;
  if (src == nullptr) {
    dest[0] = '\0';
    return dest;
  }
  int copied = 0;
  while (copied < n && src[copied] != '\0') {
    dest[copied] = src[copied];
    ++copied;
  }
  dest[copied] = '\0';
  // The second terminator keeps a full buffer terminated whatever was there before.
  // A negative limit would point before dest: nothing is written there.
  if (n >= 0) dest[n] = '\0';
  return dest + copied;
}

char* append_bounded(char* dest, const char* src, int n) {
  if (dest == nullptr) return nullptr;
  const std::size_t length = std::strlen(dest);
  char* end = dest + length;
  if (src == nullptr) return end;
  if (n < 0) n = 0;
  if (length >= static_cast<std::size_t>(n)) {
    // Already full (or over-full): cut to n and append nothing.
    dest[n] = '\0';
    return end;
  }
  copy_bounded(end, src, n - static_cast<int>(length));
  return end;
}

int same_text(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return 1;
  return std::strcmp(a, b);
}

int same_prefix(const char* a, const char* b, std::size_t n) {
  if (a == nullptr || b == nullptr) return 1;
  return std::strncmp(a, b, n);
}

char* append_grow(char* text, const char* addition) {
  if (addition == nullptr) return text;
  const std::size_t old_length = text == nullptr ? 0 : std::strlen(text);
  const std::size_t add_length = std::strlen(addition);
  // Four spare bytes beyond the terminator, as the callers have always had.
  const std::size_t size = old_length + add_length + 5;
  char* grown = static_cast<char*>(std::realloc(text, size));
  if (grown == nullptr) return text;
  std::memcpy(grown + old_length, addition, add_length + 1);
  return grown;
}

void keep_one_line(char* text, std::size_t length) {
  if (text == nullptr) return;
  // Nearly every line holds neither: two library scans find that faster than a loop.
  for (const char breaker : {'\r', '\n'}) {
    char* at = static_cast<char*>(std::memchr(text, breaker, length));
    while (at != nullptr) {
      *at = ' ';
      const std::size_t rest = length - static_cast<std::size_t>(at + 1 - text);
      at = static_cast<char*>(std::memchr(at + 1, breaker, rest));
    }
  }
}
