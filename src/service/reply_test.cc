#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "service/service.h"

namespace {

namespace fs = std::filesystem;

class Reply : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_log_for_tests();
    clear_negative_sent();
    previous_ = fs::current_path();
    char pattern[] = "/tmp/ostrel-reply-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::current_path(dir_);
  }
  void TearDown() override {
    reset_log_for_tests();
    clear_negative_sent();
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  // The messages of the log file, each as "LEVEL text" without the time stamp and pid.
  std::vector<std::string> logged() {
    std::ifstream in(dir_ / "r.log");
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
      const auto bracket = line.find(']');
      out.push_back(bracket == std::string::npos ? line : line.substr(bracket + 1));
    }
    return out;
  }

  fs::path previous_;
  fs::path dir_;
};

using Lines = std::vector<std::string>;

TEST_F(Reply, PositiveRepliesEndInOneNewlineAndAreLoggedUnchanged) {
  log_open(nullptr, "r");
  testing::internal::CaptureStdout();
  reply_positive("+OK %s version %s", "Ostrel", "1.0g");
  reply_positive("+DATA already ended\n");
  reply_positive("%s", "");
  reply_positive("%s", "+OK 100%s done %d");
  reply_positive("+OK");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "+OK Ostrel version 1.0g\n+DATA already ended\n\n+OK 100%s done %d\n+OK\n");
  EXPECT_EQ(logged(),
            (Lines{"INFO Ostrel version 1.0g starts.", "INFO +OK Ostrel version 1.0g",
                   "INFO +DATA already ended", "INFO ", "INFO +OK 100%s done %d", "INFO +OK"}));
  EXPECT_EQ(negative_sent(), 0);
}

TEST_F(Reply, OneNegativeReplyPerCommand) {
  log_open(nullptr, "r");
  testing::internal::CaptureStdout();
  reply_negative("-ERR %s does not exist or password incorrect.", "alice");
  EXPECT_EQ(negative_sent(), 1);
  reply_negative("-ERR second %d", 2);
  reply_positive("+OK still written");
  clear_negative_sent();
  reply_negative("-ERR next command");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "-ERR alice does not exist or password incorrect.\n+OK still written\n"
            "-ERR next command\n");
  EXPECT_EQ(logged(),
            (Lines{"INFO Ostrel version 1.0g starts.",
                   "ERROR -ERR alice does not exist or password incorrect.",
                   "ERROR Already given one negative response for this command, so not writing "
                   "out one on next line:",
                   "ERROR -ERR second 2", "INFO +OK still written", "ERROR -ERR next command"}));
}

TEST_F(Reply, LongRepliesAreCutToOneLine) {
  const std::string word(3000, 'w');
  testing::internal::CaptureStdout();
  reply_positive("+DATA %s", word.c_str());
  reply_negative("-ERR %s", word.c_str());
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string positive = "+DATA " + std::string(1016, 'w') + "\n";
  const std::string negative = "-ERR " + std::string(1017, 'w') + "\n";
  EXPECT_EQ(out, positive + negative);
}

TEST_F(Reply, RepliesReachStandardOutputWithLoggingOff) {
  testing::internal::CaptureStdout();
  reply_positive("+OK");
  reply_negative("-DEAD Unable to open {%s} or {%s,%s}", "a", "b", "c");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "+OK\n-DEAD Unable to open {a} or {b,c}\n");
  EXPECT_FALSE(fs::exists(dir_ / "init.log"));
}

}  // namespace
