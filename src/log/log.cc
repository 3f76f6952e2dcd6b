// The diagnostic log: level, log file with its "init.log" fallback, the writer and the
// three formatters.
#include "log/log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "log/log_internal.h"
#include "platform/platform.h"
#include "service/service.h"

namespace {

int level_in_force = LOG_NONE;
int echo = 0;
int in_host = 0;
int init_log_tried = 0;
std::FILE* log_file = nullptr;
char open_path[kLineBuffer] = "";

// Keeps errno across logging: callers report their own failures with it.
struct ErrnoGuard {
  int saved = errno;
  ~ErrnoGuard() { errno = saved; }
};

// "stamp:[pid]" of the lines being written; made again only when the second or the
// process id changes, so that most lines are put together without a format pass.
struct LinePrefix {
  char stamp[20] = "";
  int pid = -1;
  char text[48] = "";
  std::size_t length = 0;
};
LinePrefix prefix;

const LinePrefix& current_prefix() {
  const char* stamp = log_timestamp();
  const int pid = process_id();
  if (pid != prefix.pid || std::strcmp(stamp, prefix.stamp) != 0) {
    copy_bounded(prefix.stamp, stamp, static_cast<int>(sizeof prefix.stamp) - 1);
    prefix.pid = pid;
    const int n = std::snprintf(prefix.text, sizeof prefix.text, "%s:[%d]", prefix.stamp, pid);
    prefix.length = n < 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof prefix.text - 1);
  }
  return prefix;
}

// Writes "stamp:[pid]LEVEL text" with one write to the stream and flushes it.
void print_line(std::FILE* out, const char* text, int level) {
  const LinePrefix& head = current_prefix();
  const char* name = level == LOG_ERROR ? "ERROR" : level == LOG_DEBUG ? "DEBUG" : "INFO";
  const std::size_t name_length = std::strlen(name);
  const std::size_t text_length = std::strlen(text);
  char small[sizeof prefix.text + 8 + kMessageBuffer];
  const std::size_t total = head.length + name_length + 1 + text_length;
  std::unique_ptr<char[]> large;
  char* line = small;
  if (total > sizeof small) {
    // Only a text longer than any formatted message gets here.
    large.reset(new (std::nothrow) char[total]);
    if (!large) {
      std::fprintf(out, "%s%s ", head.text, name);
      for (std::size_t i = 0; i < text_length; ++i) {
        const char c = text[i];
        std::fputc(i + 1 < text_length && (c == '\r' || c == '\n') ? ' ' : c, out);
      }
      std::fflush(out);
      return;
    }
    line = large.get();
  }
  std::memcpy(line, head.text, head.length);
  std::memcpy(line + head.length, name, name_length);
  line[head.length + name_length] = ' ';
  char* body = line + head.length + name_length + 1;
  std::memcpy(body, text, text_length);
  // One event is one line: only the text's own last newline ends it.
  keep_one_line(body, text_length > 0 ? text_length - 1 : 0);
  std::fwrite(line, 1, total, out);
  std::fflush(out);
}

[[noreturn]] void end_process() {
  std::fflush(stdout);
  std::exit(1);
}

__attribute__((format(printf, 2, 0))) int log_at(int level, const char* format, std::va_list args) {
  if (level_in_force == LOG_NONE) return 0;
  // A line that neither reaches the log nor the echo is not formatted at all.
  if (level_in_force < level && !echo) return 1;
  char message[kMessageBuffer];
  std::vsnprintf(message, sizeof message, format, args);
  const std::size_t length = std::strlen(message);
  if (length == 0 || message[length - 1] != '\n') {
    // A message cut at the buffer's end still ends its line.
    const std::size_t at = length <= kMessageBuffer - 2 ? length : kMessageBuffer - 2;
    message[at] = '\n';
    message[at + 1] = '\0';
  }
  return log_write(message, level);
}

}  // namespace

int log_error(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int result = log_at(LOG_ERROR, format, args);
  va_end(args);
  return result;
}

int log_info(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int result = log_at(LOG_INFO, format, args);
  va_end(args);
  return result;
}

int log_debug(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int result = log_at(LOG_DEBUG, format, args);
  va_end(args);
  return result;
}

int log_write(const char* text, int level) {
  if (text == nullptr) return 0;
  ErrnoGuard keep_errno;
  if (level_in_force >= level) {
    if (log_file == nullptr && in_host) return 0;
    if (log_file == nullptr) {
      if (init_log_tried) {
        if (echo) {
          std::printf("-DEAD, no log file to log this to:  %s:[%d]%s %s", log_timestamp(),
                      process_id(), level_name(level), text);
        }
        end_process();
      }
      init_log_tried = 1;
      log_open(nullptr, "init.log");
    }
    print_line(log_file, text, level);
  }
  if (echo && !in_host) print_line(stdout, text, level);
  return 1;
}

int log_open(const char* directory, const char* name) {
  char path[kLineBuffer];
  copy_bounded(path, join_path(directory, name), kLineLimit);
  if (name == nullptr || std::strchr(name, '.') == nullptr) {
    append_bounded(path, ".log", kLineLimit);
  }

  if (log_file != nullptr) log_close();
  if (level_in_force == LOG_NONE) level_in_force = LOG_INFO;

  // Not through open_file: no log is open to record the open in.
  const char* refusal = nullptr;
  log_file = open_trusted_file(path, "a", &refusal);
  if (log_file == nullptr && in_host) return 0;
  if (log_file == nullptr) {
    std::printf("-DEAD Unable to create log file {%s,%s}\n", path,
                refusal != nullptr ? refusal : std::strerror(errno));
    end_process();
  }
  copy_bounded(open_path, path, kLineLimit);
  log_debug("Opening [%s]", open_path);
  log_info("%s version %s starts.", kDisplayName, kVersionText);
  return 1;
}

int log_close() {
  if (log_file == nullptr) return 1;
  log_info("%s version %s ends.", kDisplayName, kVersionText);
  std::FILE* closing = log_file;
  const int failed = close_file(closing);
  // A stream is gone after fclose even when it reports failure: never write to it again.
  log_file = nullptr;
  open_path[0] = '\0';
  return failed == 0 ? 1 : 0;
}

void parse_log_level(const char* word) {
  if (word == nullptr) return;
  if (same_text(word, "debug") == 0) {
    level_in_force = LOG_DEBUG;
  } else if (same_text(word, "error") == 0) {
    level_in_force = LOG_ERROR;
  } else {
    level_in_force = LOG_INFO;
  }
}

int get_log_level() {
  return level_in_force;
}
void set_log_level(int level) {
  level_in_force = level;
}
int get_echo_to_stdout() {
  return echo;
}
void set_echo_to_stdout(int on) {
  echo = on;
}
void set_hosted(int on) {
  in_host = on;
}
int hosted() {
  return in_host;
}
bool log_is_open() {
  return log_file != nullptr;
}
const char* log_path() {
  return open_path;
}

void log_owners(long& file_owner, long& directory_owner) {
  file_owner = directory_owner = -1;
  if (log_file == nullptr) return;
  struct stat status {};
  if (fstat(fileno(log_file), &status) == 0) file_owner = static_cast<long>(status.st_uid);
  // The directory is the path up to its last separator: "." for a bare name, the root
  // for a name right below it.
  std::string directory = open_path;
  const std::size_t slash = directory.rfind(path_separator());
  directory = slash == std::string::npos ? "."
              : slash == 0               ? directory.substr(0, 1)
                                         : directory.substr(0, slash);
  if (stat(directory.c_str(), &status) == 0) directory_owner = static_cast<long>(status.st_uid);
}

void reset_log_for_tests() {
  if (log_file != nullptr) std::fclose(log_file);
  log_file = nullptr;
  open_path[0] = '\0';
  level_in_force = LOG_NONE;
  echo = 0;
  in_host = 0;
  init_log_tried = 0;
  reset_process_id_for_tests();
}
