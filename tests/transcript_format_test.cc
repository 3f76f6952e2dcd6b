// The transcript reader shared by both runners: variant lines, the scratch folder in
// input lines, the users a transcript names, and the verdict on a run.
#include "transcript_format.h"

#include <gtest/gtest.h>

namespace {

const char kText[] =
    "uses: accounts\n"
    "platform: posix\n"
    "account: carol pw1\n"
    "> path {dir} log debug set alice s3cret\n"
    "> check bob x\n"
    "windows: < +OK win\n"
    "posix: < +OK posix\n"
    "windows: log: DEBUG Opening [{dir}\\ostrel.log]\n"
    "posix: log: DEBUG Opening [{dir}/ostrel.log]\n";

TEST(TranscriptFormatTest, VariantLinesScratchFolderAndUsers) {
  const struct {
    TranscriptPlatform platform;
    const char* dir;
    const char* input;
    const char* reply;
    const char* log;
  } cases[] = {
      {TranscriptPlatform::kPosix, "/tmp/s",
       "path /tmp/s log debug set alice s3cret\ncheck bob x\n", "+OK posix",
       "DEBUG Opening [/tmp/s/ostrel.log]"},
      // A backslash of the folder's name is no escape: "\root" keeps its "\r".
      {TranscriptPlatform::kWindows, "C:\\users\\root\\t",
       "path C:\\users\\root\\t log debug set alice s3cret\ncheck bob x\n", "+OK win",
       "DEBUG Opening [C:\\users\\root\\t\\ostrel.log]"},
  };
  for (const auto& c : cases) {
    const Transcript t = parse_transcript(kText, c.dir, c.platform);
    EXPECT_TRUE(t.errors.empty()) << indented_lines(t.errors);
    EXPECT_TRUE(t.uses_accounts);
    EXPECT_EQ(t.other_platform, c.platform == TranscriptPlatform::kWindows);
    EXPECT_EQ(t.input, c.input);
    EXPECT_EQ(t.out, std::vector<std::string>{c.reply});
    EXPECT_EQ(t.log, std::vector<std::string>{c.log});
    EXPECT_EQ(t.users, (std::vector<std::string>{"carol", "alice"}));
  }
}

TEST(TranscriptFormatTest, MismatchesNameWhatDiffers) {
  const Transcript t = parse_transcript("< +OK\nlog: INFO a\nlog: INFO b\nnolog: s3cret\n", "/x",
                                        TranscriptPlatform::kPosix);
  const std::string good_log = "t:[1]INFO a\nt:[1]INFO c\nt:[1]INFO b\n";
  const struct {
    TranscriptRun run;
    std::size_t problems;
  } cases[] = {
      {{0, "+OK\n", good_log}, 0},
      {{1, "+OK\n", good_log}, 1},                                 // a crash's exit code
      {{0, "+OK\n+OK\n", good_log}, 1},                            // an extra reply
      {{0, "+OK\n", "t:[1]INFO b\nt:[1]INFO a\n"}, 1},             // log out of order
      {{0, "+OK\n", good_log + "t:[1]DEBUG Pass = s3cret\n"}, 1},  // a password logged
  };
  for (const auto& c : cases) {
    EXPECT_EQ(transcript_mismatches(t, c.run).size(), c.problems) << c.run.out << c.run.log;
  }
}

}  // namespace
