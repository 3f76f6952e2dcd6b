// Reading a transcript and comparing a run of ostrel with it.
#include "transcript_format.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "text_files.h"

namespace fs = std::filesystem;

namespace {

const char kLogPattern = '\x01';

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// \r \t \0 \\ in input lines; any other backslash stays as written.
std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    const char* escapes = "rt0\\";
    if (text[i] != '\\' || next == '\0' || !std::strchr(escapes, next)) {
      out.push_back(text[i]);
      continue;
    }
    out.push_back(next == 'r' ? '\r' : next == 't' ? '\t' : next == '0' ? '\0' : '\\');
    ++i;
  }
  return out;
}

std::vector<std::string> split_blanks(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// A line "key: value" (or "key:" alone) gives true and the value.
bool keyed(const std::string& line, const std::string& key, std::string* value) {
  const std::string prefix = key + ":";
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  std::string rest = line.substr(prefix.size());
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  *value = rest;
  return true;
}

// The user an input line's set command names, after any options; "" for other lines.
std::string set_user(const std::string& input_line) {
  const std::vector<std::string> words = split_blanks(input_line);
  std::size_t i = 0;
  while (i < words.size()) {
    const std::string& w = words[i];
    if (w == "path" || w == "-path" || w == "log" || w == "-log") {
      i += 2;
    } else if (w == "debug" || w == "-debug") {
      i += 1;
    } else {
      break;
    }
  }
  if (i + 1 < words.size() && (words[i] == "set" || words[i] == "-set")) return words[i + 1];
  return "";
}

}  // namespace

Transcript parse_transcript(const std::string& text, const std::string& dir,
                            TranscriptPlatform platform) {
  Transcript t;
  for (std::string line : split_lines(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string value;
    // A variant line holds on its own platform only.
    if (keyed(line, "windows", &value) || keyed(line, "posix", &value)) {
      const bool windows_line = line[0] == 'w';
      if (windows_line != (platform == TranscriptPlatform::kWindows)) continue;
      line = value;
    }
    if (line == ">" || line.rfind("> ", 0) == 0) {
      // Escapes first: the scratch folder's name may hold backslashes of its own.
      const std::string input =
          replace_all(unescape(line.size() > 2 ? line.substr(2) : ""), "{dir}", dir);
      t.input += input + "\n";
      const std::string user = set_user(input);
      if (!user.empty()) t.users.push_back(user);
      continue;
    }
    line = replace_all(line, "{dir}", dir);
    if (line == "<" || line.rfind("< ", 0) == 0) {
      t.out.push_back(line.size() > 2 ? line.substr(2) : "");
    } else if (line.rfind("<* ", 0) == 0) {
      t.out.push_back(kLogPattern + line.substr(3));
    } else if (keyed(line, "settings", &value)) {
      t.settings.push_back(value);
    } else if (keyed(line, "args", &value)) {
      t.args = split_blanks(value);
    } else if (keyed(line, "account", &value)) {
      t.accounts.push_back(value);
      const std::vector<std::string> words = split_blanks(value);
      if (!words.empty()) t.users.push_back(words[0]);
    } else if (keyed(line, "nolog", &value)) {
      t.nolog.push_back(value);
    } else if (keyed(line, "log", &value)) {
      t.log.push_back(value);
    } else if (keyed(line, "exit", &value)) {
      t.exit_code = std::atoi(value.c_str());
    } else if (keyed(line, "nofile", &value)) {
      t.nofiles.push_back(value);
    } else if (keyed(line, "file", &value)) {
      t.files.push_back(value);
    } else if (keyed(line, "backend", &value) && value == "store") {
      t.store_only = true;
    } else if (keyed(line, "uses", &value) && value == "accounts") {
      t.uses_accounts = true;
    } else if (keyed(line, "platform", &value) && (value == "posix" || value == "windows")) {
      t.other_platform = (value == "windows") != (platform == TranscriptPlatform::kWindows);
    } else {
      t.errors.push_back(line);
    }
  }
  if (t.settings.empty()) {
    t.settings = {"path " + dir, "log debug", "account_db " + dir + "/ostrel.db"};
  }
  return t;
}

std::vector<std::string> transcript_mismatches(const Transcript& t, const TranscriptRun& run) {
  std::vector<std::string> problems;
  if (run.exit_code != t.exit_code) {
    problems.push_back("exit code " + std::to_string(run.exit_code) + ", expected " +
                       std::to_string(t.exit_code));
  }

  // Standard output: every line matched, in order.
  const std::vector<std::string> got = split_lines(run.out);
  bool same = got.size() == t.out.size();
  for (std::size_t i = 0; same && i < got.size(); ++i) {
    const std::string& want = t.out[i];
    same = (!want.empty() && want[0] == kLogPattern) ? log_message(got[i]) == want.substr(1)
                                                     : got[i] == want;
  }
  if (!same) {
    problems.push_back("standard output:\n" + indented_lines(got) + "expected:\n" +
                       indented_lines(t.out));
  }

  // Log lines: in order, others may stand between them.
  const std::vector<std::string> log_lines = split_lines(run.log);
  std::size_t next = 0;
  for (const std::string& line : log_lines) {
    if (next < t.log.size() && log_message(line) == t.log[next]) ++next;
  }
  if (next != t.log.size()) {
    problems.push_back("log line not found in order: " + t.log[next] + "\nlog:\n" +
                       indented_lines(log_lines));
  }
  for (const std::string& text : t.nolog) {
    for (const std::string& line : log_lines) {
      if (line.find(text) != std::string::npos) {
        problems.push_back("log holds \"" + text + "\": " + line);
      }
    }
  }
  std::error_code ignored;
  for (const std::string& path : t.files) {
    if (!fs::exists(path, ignored)) problems.push_back("missing file: " + path);
  }
  for (const std::string& path : t.nofiles) {
    if (fs::exists(path, ignored)) problems.push_back("unexpected file: " + path);
  }
  return problems;
}

std::string indented_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}
