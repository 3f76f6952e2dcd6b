// Reads one command line from standard input. A line is read whole: one that does not
// fit the buffer is read on to its newline and dropped, never served in pieces.
#include "service/service.h"
#include "service/service_internal.h"

namespace {

// The next byte of input. Only the command loop's thread reads it: no lock per byte.
int next_byte(std::FILE* input) {
#if defined(_WIN32)
  return std::getc(input);
#else
  return getc_unlocked(input);
#endif
}

}  // namespace

LineRead read_command_line(std::FILE* input, char* buffer, int* length) {
  int used = 0;
  *length = 0;
  buffer[0] = '\0';
  for (;;) {
    const int c = next_byte(input);
    if (c == EOF) {
      // A last line without a newline is still a line; a read error drops what was read.
      if (used == 0 || std::ferror(input)) {
        buffer[0] = '\0';
        return LineRead::kEnd;
      }
      break;
    }
    if (used == kLineLimit) {
      // A byte beyond 511: skip to the end of the line; its newline is not kept.
      int rest = c;
      while (rest != '\n' && rest != EOF) rest = next_byte(input);
      buffer[0] = '\0';
      return LineRead::kTooLong;
    }
    buffer[used++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[used] = '\0';
  *length = used;
  return LineRead::kLine;
}
