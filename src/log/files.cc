// Opening and closing files through the log, so that every open and close is recorded.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/platform.h"

namespace {

int stream_identity(std::FILE* stream) {
  return stream == nullptr ? 0 : fileno(stream);
}

}  // namespace

std::FILE* open_file(const char* path, const char* mode, const char** refusal) {
  if (refusal != nullptr) *refusal = nullptr;
  if (path == nullptr) {
    log_error("fopen called on NULL");
    errno = 0;
    return nullptr;
  }
  std::FILE* stream = nullptr;
  if (mode == nullptr) {
    errno = EINVAL;
  } else if (std::strcmp(mode, "wx") == 0) {
    stream = create_file_exclusive(path);
  } else if (std::strcmp(mode, "r") == 0 || std::strcmp(mode, "a") == 0) {
    stream = open_trusted_file(path, mode, refusal);
  } else {
    stream = std::fopen(path, mode);
  }
  // The caller reports a failed open with errno: logging must not change it.
  const int saved = errno;
  log_debug("fopen called on (%s) with style (%s) gives FILE * (%d)", path,
            mode == nullptr ? "" : mode, stream_identity(stream));
  errno = saved;
  return stream;
}

int close_file(std::FILE* stream) {
  if (stream == nullptr) {
    log_debug("fclose on NULL");
    errno = 0;
    return 1;
  }
  // Logged before closing, so that closing the log file itself still records it.
  log_debug("fclose called on (%d)", stream_identity(stream));
  return std::fclose(stream);
}
