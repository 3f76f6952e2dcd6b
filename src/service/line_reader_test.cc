#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "service/service.h"
#include "service/service_internal.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads input to its end; each read is reported as "line:<text>", "long" or "end".
std::vector<std::string> read_all(const std::string& input) {
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  std::fwrite(input.data(), 1, input.size(), file.get());
  std::rewind(file.get());
  std::vector<std::string> out;
  CommandInput in(fileno(file.get()));
  char buffer[kLineBuffer];
  for (;;) {
    int length = -1;
    const LineRead result = read_command_line(in, buffer, &length);
    if (result == LineRead::kEnd) break;
    if (result == LineRead::kTooLong) {
      out.push_back("long");
    } else {
      out.push_back("line:" + std::string(buffer, length));
      EXPECT_EQ(buffer[length], '\0');
    }
  }
  out.push_back("end");
  return out;
}

TEST(ReadCommandLine, LinesAreReadWholeOrDropped) {
  const std::string fits(510, 'a');  // with its newline: 511, the most one read holds
  const std::string over(511, 'b');  // with its newline: 512
  const std::string far(10000, 'c');
  struct Case {
    std::string name;
    std::string input;
    std::vector<std::string> reads;
  };
  const Case cases[] = {
      {"empty input", "", {"end"}},
      {"two lines", "check a b\nquit\n", {"line:check a b\n", "line:quit\n", "end"}},
      {"empty lines", "\n\n", {"line:\n", "line:\n", "end"}},
      {"last line without newline", "help\nquit", {"line:help\n", "line:quit", "end"}},
      {"510 and newline", fits + "\nnext\n", {"line:" + fits + "\n", "line:next\n", "end"}},
      {"511 and newline", over + "\nnext\n", {"long", "line:next\n", "end"}},
      {"10000 characters", far + "\nquit\n", {"long", "line:quit\n", "end"}},
      {"511 at the end", over, {"line:" + over, "end"}},
      {"512 at the end", over + "x", {"long", "end"}},
      {"nul bytes count",
       std::string(300, '\0') + std::string(300, 'd') + "\nq\n",
       {"long", "line:q\n", "end"}},
      {"nul inside", std::string("ab\0cd\n", 6), {"line:" + std::string("ab\0cd\n", 6), "end"}},
      {"lone carriage returns", "\r\r\n\r", {"line:\r\r\n", "line:\r", "end"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read_all(c.input), c.reads);
  }
}

TEST(ReadCommandLine, TakenBytesAreWipedAndLinesCrossReads) {
  // Eight lines of 511 bytes, then one that starts 8 bytes before the first read's end.
  std::string input;
  for (int i = 0; i < 8; ++i) input += std::string(510, 'a' + i) + "\n";
  input += "check erin Secret-Word\nquit\n";
  ASSERT_LT(input.size() - 23, kInputBytes);
  ASSERT_GT(input.size() - 10, kInputBytes);
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  std::fwrite(input.data(), 1, input.size(), file.get());
  std::rewind(file.get());
  CommandInput in(fileno(file.get()));
  char buffer[kLineBuffer];
  int length = 0;
  ASSERT_EQ(read_command_line(in, buffer, &length), LineRead::kLine);
  // Taken bytes are gone from the input buffer; the next lines wait there until read.
  EXPECT_EQ(in.next, 511u);
  EXPECT_EQ(std::string(in.bytes, in.next), std::string(511, '\0'));
  EXPECT_EQ(in.bytes[in.next], 'b');
  for (int i = 1; i < 8; ++i) ASSERT_EQ(read_command_line(in, buffer, &length), LineRead::kLine);
  ASSERT_EQ(read_command_line(in, buffer, &length), LineRead::kLine);
  EXPECT_EQ(std::string(buffer, length), "check erin Secret-Word\n");
  EXPECT_EQ(std::string(in.bytes, in.next), std::string(in.next, '\0'));
  ASSERT_EQ(read_command_line(in, buffer, &length), LineRead::kLine);
  EXPECT_EQ(read_command_line(in, buffer, &length), LineRead::kEnd);
  EXPECT_EQ(std::string(in.bytes, sizeof in.bytes), std::string(sizeof in.bytes, '\0'));

  // A descriptor that cannot be read ends the input.
  CommandInput unreadable(-1);
  EXPECT_EQ(read_command_line(unreadable, buffer, &length), LineRead::kEnd);
}

}  // namespace
