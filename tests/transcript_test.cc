// Runs every protocol transcript in tests/transcripts as its own test case. The format
// is described in tests/transcripts/README.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

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

// Replays one transcript on the embedded store, or on the directory when one is given.
void replay(const fs::path& file, const TestDirectory* directory) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string dir = scratch.path.string();
  const Transcript t = parse_transcript(read_text(file), dir, TranscriptPlatform::kPosix);
  ASSERT_TRUE(t.errors.empty()) << "lines not understood:\n" << indented_lines(t.errors);
  if (t.other_platform) GTEST_SKIP() << "marked for Windows";
  if (directory != nullptr && t.store_only) {
    GTEST_SKIP() << "runs on the embedded store only";
  }

  std::string settings_text;
  const std::vector<std::string> settings =
      directory == nullptr ? t.settings : settings_for_directory(t.settings, *directory);
  for (const std::string& line : settings) settings_text += line + "\n";
  write_text(scratch.path / "ostrel.ini", settings_text);

  if (directory != nullptr) {
    std::string error;
    ASSERT_TRUE(reset_directory(*directory, &error)) << error;
  }
  if (!t.accounts.empty()) {
    if (directory == nullptr) {
      platform_set_account_db((scratch.path / "ostrel.db").c_str());
    } else {
      use_directory(*directory);
    }
    for (const std::string& account : t.accounts) {
      EXPECT_EQ(create_transcript_account(account), "");
    }
    platform_close_store();
  }

  const ChildResult run = run_ostrel(scratch.path, t.args, t.input);
  ASSERT_FALSE(run.timed_out) << "ostrel did not end";
  ASSERT_TRUE(run.exited) << "ostrel ended by signal " << run.signal << "\nstderr:\n" << run.err;
  for (const std::string& problem :
       transcript_mismatches(t, {run.exit_code, run.out, read_text(scratch.path / "ostrel.log")})) {
    ADD_FAILURE() << problem;
  }
  // Served by the directory, ostrel keeps no store of its own.
  if (directory != nullptr) {
    EXPECT_FALSE(fs::exists(scratch.path / "ostrel.db"));
  }
}

class TranscriptTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(TranscriptTest, Replays) {
  replay(GetParam(), nullptr);
}

// The account transcripts again, served by the test directory server.
class DirectoryTranscriptTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(DirectoryTranscriptTest, Replays) {
  const std::optional<TestDirectory> directory = test_directory();
  if (!directory) {
    GTEST_SKIP() << "OSTREL_TEST_LDAP_URI is not set (tests/ldap/harness.sh)";
  }
  replay(GetParam(), &*directory);
}

std::vector<fs::path> account_transcript_files() {
  std::vector<fs::path> files;
  for (const fs::path& file : transcript_files()) {
    const std::string stem = file.stem().string();
    for (const char* prefix : {"set_", "search_", "accounts_", "newcomer"}) {
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

}  // namespace
