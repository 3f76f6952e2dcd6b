// The protocol transcripts of tests/transcripts: reading one, and judging a run of ostrel
// against it. Shared by the GoogleTest runner and the Windows replay program; the format
// is described in tests/transcripts/README.md.
#pragma once

#include <string>
#include <vector>

/// Which variant lines ("windows: ...", "posix: ...") of a transcript hold.
enum class TranscriptPlatform { kPosix, kWindows };

struct Transcript {
  std::vector<std::string> settings;
  std::vector<std::string> args;
  std::vector<std::string> accounts;  // "account:" lines
  std::vector<std::string> users;     // names of "account:" lines and of "set" commands
  std::string input;
  std::vector<std::string> out;  // "<" lines, and "<*" lines marked by a leading '\x01'
  std::vector<std::string> log;
  std::vector<std::string> nolog;
  std::vector<std::string> files;
  std::vector<std::string> nofiles;
  int exit_code = 0;
  bool store_only = false;          // "backend: store"
  bool uses_accounts = false;       // "uses: accounts"
  bool other_platform = false;      // "platform: posix" read for Windows, or the reverse
  std::vector<std::string> errors;  // lines the parser did not understand
};

/// Reads a transcript, with {dir} replaced by dir. A transcript without settings lines
/// gets the default three, in dir.
Transcript parse_transcript(const std::string& text, const std::string& dir,
                            TranscriptPlatform platform);

/// What one run of ostrel gave: the exit code, standard output and the log's content,
/// with the line ends as ostrel wrote them on a POSIX system ("\n").
struct TranscriptRun {
  int exit_code = 0;
  std::string out;
  std::string log;
};

/// One message per way the run differs from the transcript (standard output, exit code,
/// log lines in order, nolog, file and nofile); empty when the run matches.
std::vector<std::string> transcript_mismatches(const Transcript& t, const TranscriptRun& run);

/// The account line's account, created through NetUserAdd on the local computer (the
/// store or directory the platform layer was pointed at); "" on success, else the reason.
std::string create_transcript_account(const std::string& spec);

/// Lines indented by two blanks, one a line, for failure messages.
std::string indented_lines(const std::vector<std::string>& lines);
