// Reads one command line from the command input. A line is read whole: one that does not
// fit the buffer is read on to its newline and dropped, never served in pieces. Input is
// read with the system's own read call into CommandInput's buffer, and every byte taken
// from that buffer is wiped there at once: the only copy left is the caller's line.
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "service/service.h"
#include "service/service_internal.h"

namespace {

enum class Fill { kBytes, kEnd, kError };

// Reads the next bytes into the empty buffer, retrying an interrupted read.
Fill refill(CommandInput& input) {
  input.next = 0;
  input.end = 0;
  if (input.ended) return Fill::kEnd;
  for (;;) {
#if defined(_WIN32)
    // Binary mode: in text mode the runtime drops a carriage return before a newline and
    // takes a Ctrl-Z byte for the end of input, losing every later line.
    static int binary_fd = -1;
    if (binary_fd != input.fd) {
      _setmode(input.fd, _O_BINARY);
      binary_fd = input.fd;
    }
    // The C runtime's low-level read: no stream buffer in between.
    const long n = _read(input.fd, input.bytes, static_cast<unsigned>(sizeof input.bytes));
#else
    const long n = ::read(input.fd, input.bytes, sizeof input.bytes);
#endif
    if (n > 0) {
      input.end = static_cast<std::size_t>(n);
      return Fill::kBytes;
    }
    if (n < 0 && errno == EINTR) continue;
    input.ended = true;
    return n == 0 ? Fill::kEnd : Fill::kError;
  }
}

// Drops a line read so far.
LineRead drop(char* buffer, std::size_t used, LineRead result) {
  secure_wipe(buffer, used);
  buffer[0] = '\0';
  return result;
}

}  // namespace

CommandInput::~CommandInput() {
  secure_wipe(bytes, sizeof bytes);
}

LineRead read_command_line(CommandInput& input, char* buffer, int* length) {
  constexpr std::size_t kLimit = static_cast<std::size_t>(kLineLimit);
  std::size_t used = 0;
  bool too_long = false;  // beyond 511 bytes: read on to the newline, then dropped
  *length = 0;
  buffer[0] = '\0';
  for (;;) {
    if (input.next == input.end) {
      const Fill fill = refill(input);
      // At the end of input a line that got too long is still answered as one; a last
      // line without a newline is still a line; a read error drops what was read.
      if (fill != Fill::kBytes) {
        if (too_long) return drop(buffer, used, LineRead::kTooLong);
        if (used == 0 || fill == Fill::kError) return drop(buffer, used, LineRead::kEnd);
        break;
      }
    }
    char* from = input.bytes + input.next;
    const std::size_t available = input.end - input.next;
    const void* newline = std::memchr(from, '\n', available);
    const std::size_t take =
        newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - from) + 1
                           : available;
    if (!too_long && used + take > kLimit) too_long = true;
    if (!too_long) {
      std::memcpy(buffer + used, from, take);
      used += take;
    }
    // Taken: the line (or the part of it that is dropped) leaves no copy behind here.
    secure_wipe(from, take);
    input.next += take;
    if (newline != nullptr) {
      if (too_long) return drop(buffer, used, LineRead::kTooLong);
      break;
    }
  }
  buffer[used] = '\0';
  *length = static_cast<int>(used);
  return LineRead::kLine;
}
