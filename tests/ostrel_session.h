// A running ostrel in terminal mode, talked to line by line through pipes, for the tests
// that keep several processes busy at once or kill one in the middle of its work.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

struct OstrelSession {
  pid_t pid = -1;
  int to_child = -1;    // its standard input
  int from_child = -1;  // its standard output
  std::string pending;  // bytes read and not yet handed out as a line
  int status = 0;       // wait status, once reaped
  bool reaped = false;

  OstrelSession() = default;
  ~OstrelSession();  // kills and reaps a child still running
  OstrelSession(const OstrelSession&) = delete;
  OstrelSession& operator=(const OstrelSession&) = delete;
};

/// Starts the built ostrel with args (the program path is added), current directory cwd,
/// its standard error to stderr_path. False when it could not be started.
bool start_session(OstrelSession& session, const std::filesystem::path& cwd,
                   const std::vector<std::string>& args, const std::filesystem::path& stderr_path);

/// Writes bytes to the child's standard input; false when the child no longer reads.
bool send_text(OstrelSession& session, const std::string& bytes);

enum class LineResult { kLine, kTimeout, kClosed };

/// The next line of the child's standard output (without its newline), waiting at most
/// timeout_ms; kClosed at the end of its output.
LineResult read_line(OstrelSession& session, std::string& line, int timeout_ms);

/// Kills the child with SIGKILL and reaps it. Its output written so far can still be read.
void kill_session(OstrelSession& session);

/// Closes the child's standard input and waits at most timeout_seconds for it to end
/// (then kills it). The exit code, or -1 when it did not exit by itself.
int finish_session(OstrelSession& session, int timeout_seconds);
