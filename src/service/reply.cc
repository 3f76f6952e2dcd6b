// The two reply writers: every answer to a command goes to standard output through them,
// and at most one negative reply per command reaches it.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "service/service.h"

namespace {

int g_negative_sent = 0;

// Ends the reply of length characters in line (kMessageBuffer bytes) with a newline; a
// reply too long for the buffer is cut so that it still ends its line.
void finish_reply(char* line, std::size_t length) {
  if (length == 0 || line[length - 1] != '\n') {
    const std::size_t at = length <= kMessageBuffer - 2 ? length : kMessageBuffer - 2;
    line[at] = '\n';
    line[at + 1] = '\0';
    length = at + 1;
  }
  // A word or a stored value holding a line break must not forge a second reply line.
  keep_one_line(line, length - 1);
}

// Formats a reply into line (kMessageBuffer bytes) and ends it with a newline.
__attribute__((format(printf, 2, 0))) void format_reply(char* line, const char* format,
                                                        std::va_list args) {
  std::vsnprintf(line, kMessageBuffer, format, args);
  finish_reply(line, std::strlen(line));
}

// A process that loads Ostrel as a module owns its standard output.
void write_out(const char* line) {
  if (hosted()) return;
  std::fputs(line, stdout);
  std::fflush(stdout);
}

// Writes a finished positive reply out and to the log.
void send_positive(const char* line) {
  write_out(line);
  // The line is finished (it ends in its newline): it goes to the log as it is.
  if (get_log_level() != LOG_NONE) log_write(line, LOG_INFO);
}

}  // namespace

void reply_positive(const char* format, ...) {
  char line[kMessageBuffer];
  std::va_list args;
  va_start(args, format);
  format_reply(line, format, args);
  va_end(args);
  send_positive(line);
}

void reply_positive_parts(std::initializer_list<std::string_view> parts) {
  char line[kMessageBuffer];
  // As the format "%s%s..." would put them together: cut at the buffer's last byte.
  std::size_t length = 0;
  for (const std::string_view part : parts) {
    const std::size_t take = std::min(part.size(), kMessageBuffer - 1 - length);
    std::memcpy(line + length, part.data(), take);
    length += take;
  }
  line[length] = '\0';
  finish_reply(line, length);
  send_positive(line);
}

void reply_negative(const char* format, ...) {
  char line[kMessageBuffer];
  std::va_list args;
  va_start(args, format);
  format_reply(line, format, args);
  va_end(args);
  if (g_negative_sent) {
    log_error("%s",
              "Already given one negative response for this command, so not writing out one on "
              "next line:\n");
  } else {
    g_negative_sent = 1;
    write_out(line);
  }
  log_error("%s", line);
}

int negative_sent() {
  return g_negative_sent;
}

void clear_negative_sent() {
  g_negative_sent = 0;
}
