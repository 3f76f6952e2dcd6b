// Internal interface of the command service folder: what its files share beyond
// service.h.
#pragma once

#include <cstdio>
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

/// Reads one command line from input, byte by byte, into buffer (kLineBuffer bytes).
/// The text is terminated; *length receives the bytes read, NULs included.
LineRead read_command_line(std::FILE* input, char* buffer, int* length);

/// Sees each command's words after tokenizing and before dispatch; may replace words
/// (the fuzz targets keep file names inside their scratch directory).
using CommandFilter = void (*)(ArgVector& command);

/// The terminal command loop over input: reads each line, answers empty and overlong
/// ones, tokenizes and dispatches the rest until the end of input or a command clears
/// keep_running. filter, when given, sees each command before dispatch.
void serve_command_lines(std::FILE* input, const char* program_path,
                         CommandFilter filter = nullptr);
