// Internal interface of the command service folder: what its files share beyond
// service.h.
#pragma once

#include <cstddef>
#include <string>

#include "service/service.h"

/// The program name for a program path: its base name with the extension stripped,
/// copied out of the path helpers' shared buffer ("" for a null path).
std::string program_name_of(const char* path);

/// Stores the program name computed at start (base name, extension stripped).
void set_program_name(const char* name);

/// What one read of a command line gave.
enum class LineRead {
  kLine,     // a line (its newline kept when it had one) is in the buffer
  kTooLong,  // the line did not fit 511 characters; it was read up to its newline and dropped
  kEnd,      // end of input or a read error; nothing to dispatch
};

/// Bytes read ahead from the command input: the most one read(2) takes.
inline constexpr std::size_t kInputBytes = 4096;

/// Command input read from a file descriptor into the program's own buffer, never
/// through a C library stream, whose buffer would keep typed passwords after their
/// command: each byte is wiped here as soon as the line reader has taken it.
struct CommandInput {
  explicit CommandInput(int descriptor) : fd(descriptor) {}
  ~CommandInput();
  CommandInput(const CommandInput&) = delete;
  CommandInput& operator=(const CommandInput&) = delete;

  int fd;
  char bytes[kInputBytes];  // [next, end) read and not yet taken
  std::size_t next = 0;
  std::size_t end = 0;
  bool ended = false;  // end of input or a read error was seen; nothing more is read
};

/// Reads one command line from input into buffer (kLineBuffer bytes). The text is
/// terminated; *length receives the bytes read, NULs included.
LineRead read_command_line(CommandInput& input, char* buffer, int* length);

/// Sees each command's words after tokenizing and before dispatch; may replace words
/// (the fuzz targets keep file names inside their scratch directory).
using CommandFilter = void (*)(ArgVector& command);

/// The terminal command loop over the file descriptor input_fd: reads each line, answers
/// empty and overlong ones, tokenizes and dispatches the rest until the end of input or
/// a command clears keep_running. filter, when given, sees each command before dispatch.
/// Every line is wiped once it is served.
void serve_command_lines(int input_fd, const char* program_path, CommandFilter filter = nullptr);
