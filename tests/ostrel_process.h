// Runs the built ostrel as a child process for the protocol tests: a scratch directory,
// the settings file, standard input from a file, and what came back.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

/// A fresh directory under /tmp, removed with everything in it when this goes away.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::filesystem::path path;
};

struct ChildResult {
  bool exited = false;  // ended by exit (not by a signal or the time limit)
  int exit_code = -1;   // when exited
  int signal = 0;       // the signal that ended it, if any
  bool timed_out = false;
  std::string out;      // standard output
  std::string err;      // standard error
  long input_read = 0;  // bytes of standard input the child consumed (file offset)
};

/// Starts the binary with args (element 0 is added: the binary's path), current
/// directory cwd, the given bytes on standard input; waits at most timeout_seconds.
ChildResult run_ostrel(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                       const std::string& input, int timeout_seconds = 60);

/// The whole content of a file ("" when it cannot be read).
std::string read_text(const std::filesystem::path& path);

/// Writes bytes to a file, replacing it.
void write_text(const std::filesystem::path& path, const std::string& bytes);

/// Splits text into lines at '\n' (the newlines dropped; a last unterminated piece kept).
std::vector<std::string> split_lines(const std::string& text);

/// The part of a log line after its process id ("DEBUG Opening [x]"); "" when the line
/// has no ":[pid]" part.
std::string log_message(const std::string& line);
