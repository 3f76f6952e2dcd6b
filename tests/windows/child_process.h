// Runs ostrel.exe as a child process for the replay program: standard input from a file,
// standard output and error into files, a current directory of its own.
#pragma once

#include <string>
#include <vector>

struct ChildRun {
  bool started = false;    // false: the process could not be created (see error)
  bool timed_out = false;  // it did not end in time and was stopped
  unsigned long exit_code = 0;
  std::string out;
  std::string err;
  std::string error;
};

/// Starts program with args (the program's path is added as the first word) in cwd, the
/// input bytes on its standard input; io_dir holds the three stream files. Waits until the
/// child ends, at most timeout_seconds.
ChildRun run_child(const std::string& program, const std::vector<std::string>& args,
                   const std::string& cwd, const std::string& input, const std::string& io_dir,
                   unsigned timeout_seconds = 120);

/// The argument quoted as the C runtime splits a command line back into words.
std::string quote_argument(const std::string& arg);
