// The parts of a log line besides its message: time stamp, process id and level name.
#include <ctime>

#include "log/log.h"
#include "log/log_internal.h"
#include "platform/platform.h"

namespace {

char timestamp[20];
char level_text[10];
int cached_pid = -1;
// The second the stamp text was made for: lines within one second share it.
std::time_t stamped_at = static_cast<std::time_t>(-1);

// The local calendar time of now. The reentrant calls read the time zone once per
// process; the shared-record call re-examines the zone file on every use.
bool local_calendar(std::time_t now, std::tm* local) {
#if defined(_WIN32)
  return localtime_s(local, &now) == 0;
#else
  return localtime_r(&now, local) != nullptr;
#endif
}

}  // namespace

const char* level_name(int level) {
  const char* name = level == LOG_ERROR ? "ERROR" : level == LOG_DEBUG ? "DEBUG" : "INFO";
  copy_bounded(level_text, name, 9);
  return level_text;
}

const char* log_timestamp() {
  // Day of month zero-padded, time and year: "08 03:15:13 2024", 16 characters.
  const std::time_t now = std::time(nullptr);
  if (now == stamped_at && now != static_cast<std::time_t>(-1)) return timestamp;
  std::tm local{};
  char text[64];
  if (!local_calendar(now, &local) ||
      std::strftime(text, sizeof text, "%d %H:%M:%S %Y", &local) == 0) {
    text[0] = '\0';
    stamped_at = static_cast<std::time_t>(-1);
  } else {
    stamped_at = now;
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
