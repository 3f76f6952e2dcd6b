// Runs the built ostrel as a child process for the protocol tests: a scratch directory,
// the settings file, standard input from a file, and what came back.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "text_files.h"

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
