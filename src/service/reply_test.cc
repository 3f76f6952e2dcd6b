#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
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
    char pattern[] = "/tmp/ostrel-reply-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fs::current_path(pattern);
  }
  void TearDown() override {
    reset_log_for_tests();
    clear_negative_sent();
    const fs::path dir = fs::current_path();
    fs::current_path(previous_);
    fs::remove_all(dir);
  }
  // The log's messages after the level name, one per line.
  static std::string logged() {
    std::ifstream in("r.log");
    std::string all, line;
    while (std::getline(in, line)) all += line.substr(line.find(']') + 1) + "\n";
    return all;
  }
  const fs::path previous_ = fs::current_path();
};

TEST_F(Reply, OneNegativeReplyPerCommandAndEveryReplyLogged) {
  log_open(nullptr, "r");
  testing::internal::CaptureStdout();
  reply_positive("+OK %s version %s", "Ostrel", "1.0g");
  reply_negative("-ERR %s does not exist or password incorrect.", "alice");
  reply_negative("-ERR second %s\n", "100%s");
  reply_positive("%s", "");
  clear_negative_sent();
  reply_negative("-ERR next command");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "+OK Ostrel version 1.0g\n-ERR alice does not exist or password incorrect.\n\n"
            "-ERR next command\n");
  EXPECT_EQ(logged(),
            "INFO Ostrel version 1.0g starts.\n"
            "INFO +OK Ostrel version 1.0g\n"
            "ERROR -ERR alice does not exist or password incorrect.\n"
            "ERROR Already given one negative response for this command, so not writing out one "
            "on next line:\n"
            "ERROR -ERR second 100%s\n"
            "INFO \n"
            "ERROR -ERR next command\n");
  EXPECT_EQ(negative_sent(), 1);
}

TEST_F(Reply, LongRepliesAreCutAndLoggingOffStillWrites) {
  const std::string word(3000, 'w');
  testing::internal::CaptureStdout();
  reply_positive("+DATA %s", word.c_str());
  reply_negative("-ERR %s", word.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "+DATA " + std::string(1016, 'w') + "\n-ERR " + std::string(1017, 'w') + "\n");
  EXPECT_FALSE(fs::exists("init.log"));
}

TEST_F(Reply, PartsReplyAsTheirFormatWould) {
  const std::string long_part(3000, 'p');
  const std::vector<std::vector<std::string>> cases = {
      {"+OK ", "alice", " config 0 ", "home=\"/srv/mail/alice\""},
      {"+OK ", "bob", " config 0"},
      {"+DATA ", long_part, " ", "comment=\"x\""},  // cut to 1023 characters
      {"+DATA ", std::string(1016, 'n'), "\n"},     // the newline is the 1023rd character
      {"+DATA ", std::string(1017, 'n'), "\n"},     // cut before its newline
      {"+OK a\r\n+OK a", " config 0\n"},            // a break inside becomes a blank
      {"", ""},
      {},
  };
  log_open(nullptr, "r");
  for (const auto& parts : cases) {
    SCOPED_TRACE(parts.empty() ? std::string() : parts[0]);
    std::string joined;
    for (const std::string& part : parts) joined += part;
    testing::internal::CaptureStdout();
    reply_positive("%s", joined.c_str());
    const std::string formatted = testing::internal::GetCapturedStdout();
    std::vector<std::string_view> views(parts.begin(), parts.end());
    testing::internal::CaptureStdout();
    switch (views.size()) {
      case 0:
        reply_positive_parts({});
        break;
      case 2:
        reply_positive_parts({views[0], views[1]});
        break;
      case 3:
        reply_positive_parts({views[0], views[1], views[2]});
        break;
      default:
        reply_positive_parts({views[0], views[1], views[2], views[3]});
        break;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), formatted);
  }
  // Each reply is logged the same way both times.
  std::istringstream lines(logged());
  std::vector<std::string> logged_lines;
  for (std::string line; std::getline(lines, line);) logged_lines.push_back(line);
  ASSERT_EQ(logged_lines.size(), 1 + 2 * cases.size());
  for (std::size_t i = 1; i < logged_lines.size(); i += 2)
    EXPECT_EQ(logged_lines[i], logged_lines[i + 1]);
}

}  // namespace

TEST_F(Reply, LineBreaksInsideAReplyOrLogLineBecomeBlanks) {
  log_open(nullptr, "r");
  testing::internal::CaptureStdout();
  reply_positive("+OK %s config 0 %s", "a\r\n+OK a", "comment=\"x\n+DATA y\"");
  reply_negative("-ERR User %s not found.", "b\n+OK b config 0");
  log_info("value {%s}", "c\r\nINFO forged");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "+OK a  +OK a config 0 comment=\"x +DATA y\"\n-ERR User b +OK b config 0 not found.\n");
  log_close();
  EXPECT_EQ(logged(),
            "INFO Ostrel version 1.0g starts.\n"
            "INFO +OK a  +OK a config 0 comment=\"x +DATA y\"\n"
            "ERROR -ERR User b +OK b config 0 not found.\n"
            "INFO value {c  INFO forged}\n"
            "INFO Ostrel version 1.0g ends.\n");
}
