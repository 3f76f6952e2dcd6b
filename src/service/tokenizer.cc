// Splits a command line into words: blanks separate, double quotes group, and the line
// ends at the first NUL, carriage return or newline.
#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "service/service.h"

ArgVector tokenize_line(const char* line, const char* program_path) {
  ArgVector vector;
  tokenize_line_into(vector, line, program_path);
  return vector;
}

void tokenize_line_into(ArgVector& vector, const char* line, const char* program_path) {
  const std::size_t path_length = program_path ? std::strlen(program_path) : 0;
  const std::size_t line_length = line ? std::strlen(line) : 0;
  // Every word goes into one buffer: the words of a line, each with its terminator, never
  // take more than the line and one byte, as each separator or quote frees a byte.
  vector.text_size = (program_path ? path_length + 1 : 0) + line_length + 1;
  if (!vector.text || vector.text_capacity < vector.text_size) {
    // Room for any line the command loop reads, so that the block is made once.
    vector.text_capacity = std::max(vector.text_size, (program_path ? path_length + 1 : 0) +
                                                          static_cast<std::size_t>(kLineBuffer));
    vector.text.reset(new char[vector.text_capacity]);
  }
  vector.added.clear();
  vector.words.clear();
  // Room for a command and its usual words without growing.
  vector.words.reserve(8);
  char* out = vector.text.get();
  if (program_path) {
    std::memcpy(out, program_path, path_length + 1);
    vector.words.push_back(out);
    out += path_length + 1;
  } else {
    vector.words.push_back(nullptr);
  }

  char* word = out;
  bool quoted = false;
  const char* p = line ? line : "";
  for (;;) {
    // The run of characters up to the next one that means something here is copied whole:
    // a quote, a blank outside quotes, or the end of the line.
    const std::size_t run = std::strcspn(p, quoted ? "\"\r\n" : "\" \r\n");
    std::memcpy(out, p, run);
    out += run;
    p += run;
    if (*p == '"') {
      quoted = !quoted;
    } else if (*p == ' ') {
      // Every blank ends a word, so two blanks in a row give an empty one.
      *out++ = '\0';
      vector.words.push_back(word);
      word = out;
    } else {
      break;
    }
    ++p;
  }
  if (out != word) {
    *out = '\0';
    vector.words.push_back(word);
  }

  vector.count = static_cast<int>(vector.words.size());
  vector.words.push_back(nullptr);
  log_debug("Input count = %d", vector.count - 1);
}
