// Runs every protocol transcript in tests/transcripts as its own test case. The format
// is described in tests/transcripts/README.md.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ad_domain.h"
#include "ldap_directory.h"
#include "ostrel_process.h"
#include "platform/platform.h"
#include "transcript_format.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> transcript_files() {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(OSTREL_TRANSCRIPTS, ignored)) {
    if (entry.path().extension() == ".t") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
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
                                             const fs::path& dir, bool names_homes) {
  std::vector<std::string> lines;
  bool home_path = false;
  for (const std::string& line : settings) {
    if (line.rfind("account_db", 0) != 0) lines.push_back(line);
    if (line.rfind("home_path", 0) == 0) home_path = true;
  }
  lines.push_back("account_db system");
  // Homes are made only below home_path: the scratch directory for a transcript that
  // names homes, unless it names home_path itself.
  if (!home_path && names_homes) lines.push_back("home_path " + dir.string());
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

enum class Backend { kStore, kDirectory, kSystem, kDomain };

std::vector<std::string> settings_for_domain(const std::vector<std::string>& settings,
                                             const TestDomain& domain) {
  std::vector<std::string> lines;
  for (const std::string& line : settings)
    if (line.rfind("account_db", 0) != 0) lines.push_back(line);
  for (const std::string& line : domain_settings(domain)) lines.push_back(line);
  return lines;
}

// Replays one transcript on the embedded store, on the directory when one is given, on
// scratch copies of the host's account files, or on the test domain.
void replay(const fs::path& file, const TestDirectory* directory, Backend backend,
            const TestDomain* domain = nullptr) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string dir = scratch.path.string();
  const Transcript t = parse_transcript(read_text(file), dir, TranscriptPlatform::kPosix);
  ASSERT_TRUE(t.errors.empty()) << "lines not understood:\n" << indented_lines(t.errors);
  if (t.other_platform) GTEST_SKIP() << "marked for Windows";
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
      backend == Backend::kSystem ? settings_for_system(t.settings, scratch.path,
                                                        t.input.find(" home=") != std::string::npos)
      : backend == Backend::kDomain ? settings_for_domain(t.settings, *domain)
      : directory == nullptr        ? t.settings
                                    : settings_for_directory(t.settings, *directory);
  if (backend == Backend::kSystem) write_system_files(scratch.path);
  for (const std::string& line : settings) settings_text += line + "\n";
  write_text(scratch.path / "ostrel.ini", settings_text);

  if (directory != nullptr) {
    std::string error;
    ASSERT_TRUE(reset_directory(*directory, &error)) << error;
  }
  if (domain != nullptr) {
    std::string error;
    ASSERT_TRUE(reset_domain(*domain, &error)) << error;
  }
  if (!t.accounts.empty()) {
    if (backend == Backend::kSystem) {
      use_system_files(scratch.path);
    } else if (domain != nullptr) {
      use_domain(*domain);
    } else if (directory == nullptr) {
      platform_set_account_db((scratch.path / "ostrel.db").c_str());
    } else {
      use_directory(*directory);
    }
    for (const std::string& account : t.accounts) {
      EXPECT_EQ(create_transcript_account(account), "");
    }
    platform_close_store();
    platform_set_system_options(PlatformSystemOptions{});
  }

  const ChildResult run = run_ostrel(scratch.path, t.args, t.input);
  ASSERT_FALSE(run.timed_out) << "ostrel did not end";
  ASSERT_TRUE(run.exited) << "ostrel ended by signal " << run.signal << "\nstderr:\n" << run.err;
  for (const std::string& problem :
       transcript_mismatches(t, {run.exit_code, run.out, read_text(scratch.path / "ostrel.log")})) {
    ADD_FAILURE() << problem;
  }
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

// The account transcripts again, served by the test domain controller.
class DomainTranscriptTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(DomainTranscriptTest, Replays) {
  const std::optional<TestDomain> domain = test_domain();
  if (!domain) GTEST_SKIP() << "OSTREL_TEST_AD_URI is not set (tests/ad/harness.sh)";
  replay(GetParam(), nullptr, Backend::kDomain, &*domain);
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
INSTANTIATE_TEST_SUITE_P(Transcripts, DomainTranscriptTest,
                         ::testing::ValuesIn(account_transcript_files()), case_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(DomainTranscriptTest);
INSTANTIATE_TEST_SUITE_P(Transcripts, SystemTranscriptTest,
                         ::testing::ValuesIn(account_transcript_files()), case_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SystemTranscriptTest);

}  // namespace
