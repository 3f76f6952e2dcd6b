// Runs every protocol transcript in tests/transcripts as its own test case. The format
// is described in tests/transcripts/README.md.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ldap_directory.h"
#include "ostrel_process.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

struct Transcript {
  std::vector<std::string> settings;
  std::vector<std::string> args;
  std::vector<std::string> accounts;
  std::string input;
  std::vector<std::string> out;  // "<" lines, and "<*" lines marked by a leading '\x01'
  std::vector<std::string> log;
  std::vector<std::string> nolog;
  std::vector<std::string> files;
  std::vector<std::string> nofiles;
  int exit_code = 0;
  bool store_only = false;          // "backend: store"
  bool folded_names = false;        // "backend: folded names": names compared in any case
  bool system_only = false;         // "backend: system"
  std::vector<std::string> errors;  // lines the parser did not understand
};

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

Transcript parse(const std::string& text, const std::string& dir) {
  Transcript t;
  for (std::string line : split_lines(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    line = replace_all(line, "{dir}", dir);
    std::string value;
    if (line == ">" || line.rfind("> ", 0) == 0) {
      t.input += unescape(line.size() > 2 ? line.substr(2) : "") + "\n";
    } else if (line == "<" || line.rfind("< ", 0) == 0) {
      t.out.push_back(line.size() > 2 ? line.substr(2) : "");
    } else if (line.rfind("<* ", 0) == 0) {
      t.out.push_back(kLogPattern + line.substr(3));
    } else if (keyed(line, "settings", &value)) {
      t.settings.push_back(value);
    } else if (keyed(line, "args", &value)) {
      t.args = split_blanks(value);
    } else if (keyed(line, "account", &value)) {
      t.accounts.push_back(value);
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
    } else if (keyed(line, "backend", &value) && value == "folded names") {
      t.folded_names = true;
    } else if (keyed(line, "backend", &value) && value == "system") {
      t.system_only = true;
    } else {
      t.errors.push_back(line);
    }
  }
  if (t.settings.empty()) {
    t.settings = {"path " + dir, "log debug", "account_db " + dir + "/ostrel.db"};
  }
  return t;
}

std::u16string wide(const std::string& text) {
  WCHAR buffer[512];
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, buffer, 512);
  return units > 0 ? std::u16string(reinterpret_cast<const char16_t*>(buffer), units - 1)
                   : std::u16string();
}

// account: <name> <password> [home=<dir>] [comment=<text>] [script=<path>] [disabled]
::testing::AssertionResult create_account(const std::string& spec) {
  const std::vector<std::string> words = split_blanks(spec);
  if (words.size() < 2) return ::testing::AssertionFailure() << "bad account line: " << spec;
  std::u16string name = wide(words[0]);
  std::u16string password = wide(words[1]);
  std::u16string home, comment, script;
  bool has_home = false, has_comment = false, has_script = false, disabled = false;
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.rfind("home=", 0) == 0) {
      home = wide(w.substr(5));
      has_home = true;
    } else if (w.rfind("comment=", 0) == 0) {
      comment = wide(w.substr(8));
      has_comment = true;
    } else if (w.rfind("script=", 0) == 0) {
      script = wide(w.substr(7));
      has_script = true;
    } else if (w == "disabled") {
      disabled = true;
    } else {
      return ::testing::AssertionFailure() << "bad account word: " << w;
    }
  }
  auto text = [](std::u16string& s, bool present) -> LPWSTR {
    return present ? reinterpret_cast<LPWSTR>(s.data()) : nullptr;
  };
  USER_INFO_1 record{};
  record.usri1_name = text(name, true);
  record.usri1_password = text(password, words[1] != "-");
  record.usri1_priv = USER_PRIV_USER;
  record.usri1_home_dir = text(home, has_home);
  record.usri1_comment = text(comment, has_comment);
  record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  if (disabled) record.usri1_flags |= UF_ACCOUNTDISABLE;
  record.usri1_script_path = text(script, has_script);
  DWORD parm = 0;
  const NET_API_STATUS status = NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm);
  if (status != 0) {
    return ::testing::AssertionFailure()
           << "NetUserAdd for " << words[0] << " gave " << status << " (parm " << parm << ")";
  }
  return ::testing::AssertionSuccess();
}

std::vector<fs::path> transcript_files() {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(OSTREL_TRANSCRIPTS, ignored)) {
    if (entry.path().extension() == ".t") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

// On the directory the settings name it instead of a store file: an "account_db" line
// is replaced by the directory's lines, which are added when there is none.
std::vector<std::string> settings_for_directory(const std::vector<std::string>& settings,
                                                const TestDirectory& directory) {
  std::vector<std::string> lines;
  bool placed = false;
  for (const std::string& line : settings) {
    if (line.rfind("account_db", 0) != 0) {
      lines.push_back(line);
    } else if (!placed) {
      for (const std::string& d : directory_settings(directory, directory.uri)) {
        lines.push_back(d);
      }
      placed = true;
    }
  }
  if (!placed) {
    for (const std::string& d : directory_settings(directory, directory.uri)) lines.push_back(d);
  }
  return lines;
}

// Scratch copies of the host's account files: no accounts, and the local groups a Windows
// host has, so that the default group of new accounts is found.
void write_system_files(const fs::path& dir) {
  fs::create_directories(dir / "etc");
  write_text(dir / "etc/passwd", "");
  write_text(dir / "etc/shadow", "");
  write_text(dir / "etc/group", "root:x:0:\nAdministrators:x:544:\nUsers:x:545:\nGuests:x:546:\n");
  write_text(dir / "etc/gshadow", "root:*::\nAdministrators:!::\nUsers:!::\nGuests:!::\n");
}

std::vector<std::string> settings_for_system(const std::vector<std::string>& settings,
                                             const fs::path& dir) {
  std::vector<std::string> lines;
  for (const std::string& line : settings)
    if (line.rfind("account_db", 0) != 0) lines.push_back(line);
  lines.push_back("account_db system");
  lines.push_back("password_file " + (dir / "etc/passwd").string());
  lines.push_back("shadow_file " + (dir / "etc/shadow").string());
  return lines;
}

void use_system_files(const fs::path& dir) {
  PlatformSystemOptions options;
  const std::string passwd = (dir / "etc/passwd").string(), shadow = (dir / "etc/shadow").string();
  options.password_file = passwd.c_str();
  options.shadow_file = shadow.c_str();
  platform_set_system_options(options);
  platform_set_account_db("system");
}

enum class Backend { kStore, kDirectory, kSystem };

// Replays one transcript on the embedded store, on the directory when one is given, or
// on scratch copies of the host's account files.
void replay(const fs::path& file, const TestDirectory* directory, Backend backend) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string dir = scratch.path.string();
  const Transcript t = parse(read_text(file), dir);
  ASSERT_TRUE(t.errors.empty()) << "lines not understood:\n" << join(t.errors);
  if (backend != Backend::kStore && t.store_only) {
    GTEST_SKIP() << "runs on the embedded store only";
  }
  if (backend == Backend::kSystem && t.folded_names) {
    GTEST_SKIP() << "compares names in any case; the host's names are case-sensitive";
  }
  if (backend != Backend::kSystem && t.system_only) {
    GTEST_SKIP() << "runs on the host's account files only";
  }

  std::string settings_text;
  const std::vector<std::string> settings =
      backend == Backend::kSystem ? settings_for_system(t.settings, scratch.path)
      : directory == nullptr      ? t.settings
                                  : settings_for_directory(t.settings, *directory);
  if (backend == Backend::kSystem) write_system_files(scratch.path);
  for (const std::string& line : settings) settings_text += line + "\n";
  write_text(scratch.path / "ostrel.ini", settings_text);

  if (directory != nullptr) {
    std::string error;
    ASSERT_TRUE(reset_directory(*directory, &error)) << error;
  }
  if (!t.accounts.empty()) {
    if (backend == Backend::kSystem) {
      use_system_files(scratch.path);
    } else if (directory == nullptr) {
      platform_set_account_db((scratch.path / "ostrel.db").c_str());
    } else {
      use_directory(*directory);
    }
    for (const std::string& account : t.accounts) EXPECT_TRUE(create_account(account));
    platform_close_store();
    platform_set_system_options(PlatformSystemOptions{});
  }

  const ChildResult run = run_ostrel(scratch.path, t.args, t.input);
  ASSERT_FALSE(run.timed_out) << "ostrel did not end";
  ASSERT_TRUE(run.exited) << "ostrel ended by signal " << run.signal << "\nstderr:\n" << run.err;
  EXPECT_EQ(run.exit_code, t.exit_code);

  // Standard output: every line matched, in order.
  const std::vector<std::string> got = split_lines(run.out);
  bool same = got.size() == t.out.size();
  for (std::size_t i = 0; same && i < got.size(); ++i) {
    const std::string& want = t.out[i];
    same = (!want.empty() && want[0] == kLogPattern) ? log_message(got[i]) == want.substr(1)
                                                     : got[i] == want;
  }
  EXPECT_TRUE(same) << "standard output:\n" << join(got) << "expected:\n" << join(t.out);

  // Log lines: in order, others may stand between them.
  const std::vector<std::string> log_lines = split_lines(read_text(scratch.path / "ostrel.log"));
  std::size_t next = 0;
  for (const std::string& line : log_lines) {
    if (next < t.log.size() && log_message(line) == t.log[next]) ++next;
  }
  EXPECT_EQ(next, t.log.size()) << "log line not found in order: "
                                << (next < t.log.size() ? t.log[next] : "") << "\nlog:\n"
                                << join(log_lines);
  for (const std::string& text : t.nolog) {
    for (const std::string& line : log_lines) {
      EXPECT_EQ(line.find(text), std::string::npos) << "log holds \"" << text << "\": " << line;
    }
  }
  for (const std::string& path : t.files) EXPECT_TRUE(fs::exists(path)) << path;
  for (const std::string& path : t.nofiles) EXPECT_FALSE(fs::exists(path)) << path;
  // Served by the directory or the host's files, ostrel keeps no store of its own.
  if (backend != Backend::kStore) {
    EXPECT_FALSE(fs::exists(scratch.path / "ostrel.db"));
  }
  // The host's own checkers find nothing wrong with the files ostrel wrote (as root).
  if (backend == Backend::kSystem && geteuid() == 0 && access("/usr/sbin/pwck", X_OK) == 0) {
    const std::string root = scratch.path.string();
    EXPECT_EQ(std::system(("/usr/sbin/pwck -r -q -R " + root + " >&2").c_str()), 0);
    EXPECT_EQ(std::system(("/usr/sbin/grpck -r -R " + root + " >&2").c_str()), 0);
  }
}

class TranscriptTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(TranscriptTest, Replays) {
  replay(GetParam(), nullptr, Backend::kStore);
}

// The account transcripts again, served by the test directory server.
class DirectoryTranscriptTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(DirectoryTranscriptTest, Replays) {
  const std::optional<TestDirectory> directory = test_directory();
  if (!directory) {
    GTEST_SKIP() << "OSTREL_TEST_LDAP_URI is not set (tests/ldap/harness.sh)";
  }
  replay(GetParam(), &*directory, Backend::kDirectory);
}

// The account transcripts again, on scratch copies of the host's account files.
class SystemTranscriptTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(SystemTranscriptTest, Replays) {
  replay(GetParam(), nullptr, Backend::kSystem);
}

std::vector<fs::path> account_transcript_files() {
  std::vector<fs::path> files;
  for (const fs::path& file : transcript_files()) {
    const std::string stem = file.stem().string();
    for (const char* prefix : {"set_", "search_", "accounts_", "newcomer", "system_"}) {
      if (stem.rfind(prefix, 0) == 0) {
        files.push_back(file);
        break;
      }
    }
  }
  return files;
}

std::string case_name(const ::testing::TestParamInfo<fs::path>& info) {
  std::string name = info.param.stem().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Transcripts, TranscriptTest, ::testing::ValuesIn(transcript_files()),
                         case_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(TranscriptTest);
INSTANTIATE_TEST_SUITE_P(Transcripts, DirectoryTranscriptTest,
                         ::testing::ValuesIn(account_transcript_files()), case_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(DirectoryTranscriptTest);
INSTANTIATE_TEST_SUITE_P(Transcripts, SystemTranscriptTest,
                         ::testing::ValuesIn(account_transcript_files()), case_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SystemTranscriptTest);

}  // namespace
