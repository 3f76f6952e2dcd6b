// The parts of a log line besides its message: time stamp, process id and level name.
#include <ctime>

#include "log/log.h"
#include "log/log_internal.h"
#include "platform/platform.h"

namespace {

char timestamp[20];
char level_text[10];
int cached_pid = -1;

}  // namespace

const char* level_name(int level) {
  const char* name = level == LOG_ERROR ? "ERROR" : level == LOG_DEBUG ? "DEBUG" : "INFO";
  copy_bounded(level_text, name, 9);
  return level_text;
}

const char* log_timestamp() {
  // Day of month zero-padded, time and year: "08 03:15:13 2024", 16 characters.
  // One thread: the library's shared calendar record is safe to use here.
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  char text[64];
  if (local == nullptr || std::strftime(text, sizeof text, "%d %H:%M:%S %Y", local) == 0) {
    text[0] = '\0';
  }
  copy_bounded(timestamp, text, static_cast<int>(sizeof timestamp) - 1);
  return timestamp;
}

int process_id() {
  if (cached_pid == -1) cached_pid = current_process_id();
  return cached_pid;
}

void reset_process_id_for_tests() {
  cached_pid = -1;
}
