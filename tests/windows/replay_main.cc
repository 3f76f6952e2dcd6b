// ostrel-replay: replays the protocol transcripts against ostrel.exe on Windows, each in a
// scratch folder of its own, and prints one verdict a transcript and "N passed, N failed".
//
//   ostrel-replay [-service] [ostrel.exe [transcripts folder]]
//
// By default ostrel.exe and the folder "transcripts" are taken from beside this program.
// -service replays only the service transcripts that need no account database.
// Accounts named by a transcript ("account:" lines, set commands) are deleted from this
// computer before and after it runs: use a test machine.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "text_files.h"
#include "transcript_format.h"
#include "windows/child_process.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  bool service_only = false;
  fs::path program;
  fs::path transcripts;
};

fs::path own_folder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return fs::current_path();
  return fs::path(path).parent_path();
}

bool read_options(int argc, char** argv, Options* options) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-service") {
      options->service_only = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() > 2) return false;
  const fs::path here = own_folder();
  options->program = positional.size() > 0 ? fs::absolute(positional[0]) : here / "ostrel.exe";
  options->transcripts = positional.size() > 1 ? fs::absolute(positional[1]) : here / "transcripts";
  return true;
}

std::vector<fs::path> transcript_files(const fs::path& folder, bool service_only) {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    const fs::path& path = entry.path();
    if (path.extension() != ".t") continue;
    if (service_only && path.stem().string().rfind("service_", 0) != 0) continue;
    files.push_back(path);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Removes an account of this computer; a missing one is no error.
void delete_user(const std::string& name) {
  WCHAR wide[512];
  if (MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, 512) == 0) return;
  NetUserDel(nullptr, wide);
}

// The text-mode streams of the Windows runtime end lines with CR LF; the transcripts
// hold the lines themselves.
std::string without_carriage_returns(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

enum class Verdict { kPassed, kFailed, kSkipped };

// Replays one transcript in root (a fresh folder); problems gets what went wrong, or the
// reason for a skip.
Verdict replay(const fs::path& file, const Options& options, const fs::path& root,
               std::vector<std::string>* problems) {
  const fs::path scratch = root / "work";
  const fs::path io = root / "io";
  std::error_code error;
  fs::create_directories(scratch, error);
  fs::create_directories(io, error);
  if (error) {
    problems->push_back("cannot make the scratch folders in " + root.string());
    return Verdict::kFailed;
  }
  const Transcript t =
      parse_transcript(read_text(file), scratch.string(), TranscriptPlatform::kWindows);
  if (!t.errors.empty()) {
    problems->push_back("lines not understood:\n" + indented_lines(t.errors));
    return Verdict::kFailed;
  }
  if (t.other_platform) {
    problems->push_back("marked for the other platform");
    return Verdict::kSkipped;
  }
  if (t.store_only) {
    problems->push_back("holds on the embedded store only");
    return Verdict::kSkipped;
  }
  if (options.service_only && t.uses_accounts) {
    problems->push_back("calls the account database");
    return Verdict::kSkipped;
  }

  std::string settings;
  for (const std::string& line : t.settings) settings += line + "\n";
  write_text(scratch / "ostrel.ini", settings);

  for (const std::string& user : t.users) delete_user(user);
  for (const std::string& account : t.accounts) {
    const std::string failure = create_transcript_account(account);
    if (!failure.empty()) problems->push_back(failure);
  }
  ChildRun run;
  if (problems->empty()) {
    run = run_child(options.program.string(), t.args, scratch.string(), t.input, io.string());
  }
  for (const std::string& user : t.users) delete_user(user);
  if (!problems->empty()) return Verdict::kFailed;

  if (!run.started) {
    problems->push_back("ostrel.exe did not start: " + run.error);
  } else if (run.timed_out) {
    problems->push_back("ostrel.exe did not end and was stopped");
  } else {
    TranscriptRun got;
    got.exit_code = static_cast<int>(run.exit_code);
    got.out = without_carriage_returns(run.out);
    got.log = without_carriage_returns(read_text(scratch / "ostrel.log"));
    *problems = transcript_mismatches(t, got);
    if (!problems->empty() && !run.err.empty()) {
      problems->push_back("standard error:\n" + indented_lines(split_lines(run.err)));
    }
  }
  return problems->empty() ? Verdict::kPassed : Verdict::kFailed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!read_options(argc, argv, &options)) {
    std::fprintf(stderr, "usage: ostrel-replay [-service] [ostrel.exe [transcripts folder]]\n");
    return 2;
  }
  std::error_code error;
  if (!fs::is_regular_file(options.program, error)) {
    std::fprintf(stderr, "ostrel-replay: no program %s\n", options.program.string().c_str());
    return 2;
  }
  const std::vector<fs::path> files = transcript_files(options.transcripts, options.service_only);
  if (files.empty()) {
    std::fprintf(stderr, "ostrel-replay: no transcripts in %s\n",
                 options.transcripts.string().c_str());
    return 2;
  }

  const fs::path base =
      fs::temp_directory_path(error) / ("ostrel-replay-" + std::to_string(GetCurrentProcessId()));
  int passed = 0, failed = 0, skipped = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fs::path root = base / std::to_string(i);
    std::vector<std::string> problems;
    const Verdict verdict = replay(files[i], options, root, &problems);
    const std::string name = files[i].stem().string();
    if (verdict == Verdict::kPassed) {
      ++passed;
      std::printf("PASS %s\n", name.c_str());
    } else if (verdict == Verdict::kSkipped) {
      ++skipped;
      std::printf("SKIP %s (%s)\n", name.c_str(), problems.front().c_str());
    } else {
      ++failed;
      std::printf("FAIL %s\n", name.c_str());
      for (const std::string& problem : problems) {
        for (const std::string& line : split_lines(problem)) std::printf("  %s\n", line.c_str());
      }
    }
    std::fflush(stdout);
    fs::remove_all(root, error);
  }
  fs::remove_all(base, error);
  if (skipped > 0) std::printf("%d skipped\n", skipped);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
