// Internal interface of the command service folder: what its files share beyond
// service.h.
#pragma once

#include <cstdio>
#include <string>

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
