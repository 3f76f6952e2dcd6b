#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "log/log.h"
#include "service/service.h"
#include "service/service_internal.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Runs the command loop over input; returns what reached standard output.
std::string serve(const std::string& input, CommandFilter filter = nullptr) {
  reset_service_for_tests();
  reset_log_for_tests();
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  std::fwrite(input.data(), 1, input.size(), file.get());
  std::rewind(file.get());
  ::testing::internal::CaptureStdout();
  serve_command_lines(fileno(file.get()), "/usr/sbin/ostrel", filter);
  return ::testing::internal::GetCapturedStdout();
}

TEST(ServeCommandLines, AnswersEachLineUntilQuitOrEnd) {
  const std::string version = "+OK Ostrel version 1.0g\n";
  struct Case {
    std::string name;
    std::string input;
    std::string replies;
  };
  const Case cases[] = {
      {"no input", "", ""},
      {"empty line, then a command", "\nversion\n",
       "-ERR Not a valid command (nocommand) use help\n" + version},
      {"overlong line dropped whole", std::string(600, 'v') + " version\nversion",
       "-ERR Command line too long (more than 511 characters)\n" + version},
      {"one negative reply per command", "nosuch\nother\n",
       "-ERR Not a valid command (nosuch) use \"help\"\n"
       "-ERR Not a valid command (other) use \"help\"\n"},
      {"nothing read after quit", "quit\nversion\n", "+OK\n"},
      {"options only keep reading", "debug\nexit\nversion\n", "+OK\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(serve(c.input), c.replies);
  }
}

TEST(ServeCommandLines, FilterSeesEveryCommandBeforeDispatch) {
  static int seen;
  seen = 0;
  const CommandFilter to_version = [](ArgVector& command) {
    ++seen;
    ASSERT_GE(command.count, 2);
    EXPECT_STREQ(command.words[0], "/usr/sbin/ostrel");
    static char word[] = "version";
    command.words[1] = word;
  };
  // Empty and overlong lines never reach the filter.
  EXPECT_EQ(serve("quit\n\nnosuch word\n", to_version),
            "+OK Ostrel version 1.0g\n-ERR Not a valid command (nocommand) use help\n"
            "+OK Ostrel version 1.0g\n");
  EXPECT_EQ(seen, 2);
}

}  // namespace
