// Splits a command line into words: blanks separate, double quotes group, and the line
// ends at the first NUL, carriage return or newline.
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"

namespace {

// Appends a heap copy of text (or a null entry for a null text) to the vector.
void append_word(ArgVector& vector, const char* text, std::size_t length) {
  if (!text) {
    vector.words.push_back(nullptr);
    return;
  }
  auto copy = std::make_unique<char[]>(length + 1);
  std::memcpy(copy.get(), text, length);
  copy[length] = '\0';
  vector.words.push_back(copy.get());
  vector.owned.push_back(std::move(copy));
}

}  // namespace

ArgVector tokenize_line(const char* line, const char* program_path) {
  ArgVector vector;
  // Room for a command and its usual words without growing.
  vector.words.reserve(8);
  vector.owned.reserve(8);
  append_word(vector, program_path, program_path ? std::strlen(program_path) : 0);

  // Room for the whole line at once: a word that grew would leave its earlier buffer,
  // maybe part of a password, behind unwiped.
  std::string pending;
  pending.reserve(line ? std::strlen(line) : 0);
  bool quoted = false;
  for (const char* p = line ? line : ""; *p && *p != '\r' && *p != '\n'; ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (*p == ' ' && !quoted) {
      // Every blank ends a word, so two blanks in a row give an empty one.
      append_word(vector, pending.data(), pending.size());
      pending.clear();
    } else {
      pending.push_back(*p);
    }
  }
  if (!pending.empty()) append_word(vector, pending.data(), pending.size());
  // The pending word may have held a password.
  secure_wipe(pending.data(), pending.capacity());

  vector.count = static_cast<int>(vector.words.size());
  vector.words.push_back(nullptr);
  log_debug("Input count = %d", vector.count - 1);
  return vector;
}
