// Protocol tests with hostile input: NUL bytes, carriage returns, open quotes, overlong
// lines, bytes above 127, broken settings files, and the start-up paths that end early.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ostrel_process.h"

namespace fs = std::filesystem;

namespace {

const char kVersion[] = "+OK Ostrel version 1.0g";
const char kTooLong[] = "-ERR Command line too long (more than 511 characters)";

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path.empty());
    work_ = root_.path / "work";
    cwd_ = root_.path / "cwd";
    fs::create_directories(work_);
    fs::create_directories(cwd_);
  }

  std::string default_settings() const {
    return "path " + work_.string() + "\nlog debug\naccount_db " + (work_ / "ostrel.db").string() +
           "\n";
  }

  // Runs ostrel from an empty current directory with "path <work>" before args.
  ChildResult run(const std::string& input, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"path", work_.string()});
    return run_ostrel(cwd_, args, input);
  }

  // Nothing may be written outside the work directory, and there only ostrel's files.
  // The current directory may hold the fallback log when lines came before the log was
  // opened.
  void expect_nothing_outside(bool init_log_allowed = false) {
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(root_.path)) {
      top.insert(entry.path().filename().string());
    }
    EXPECT_EQ(top, (std::set<std::string>{"cwd", "work"}));
    for (const auto& entry : fs::directory_iterator(cwd_)) {
      EXPECT_TRUE(init_log_allowed && entry.path().filename() == "init.log")
          << "the current directory was written to: " << entry.path();
    }
    for (const auto& entry : fs::directory_iterator(work_)) {
      EXPECT_EQ(entry.path().filename().string().rfind("ostrel.", 0), 0u) << entry.path();
    }
  }

  ScratchDir root_;
  fs::path work_;
  fs::path cwd_;
};

std::string repeat(char c, std::size_t n) {
  return std::string(n, c);
}

TEST_F(BadInputTest, HostileLinesAreAnsweredAndServingGoesOn) {
  write_text(work_ / "ostrel.ini", default_settings());
  const std::string word510 = repeat('a', 510);
  struct Case {
    std::string name;
    std::string input;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {"nul bytes", std::string("\0\0\0\n\0version\n", 13) + "version\n", {kVersion}},
      {"nul after the word", std::string("version\0junk\n", 13), {kVersion}},
      {"lone carriage returns", "\r\n\r\r\r\n\r\rversion\nversion\r\n", {kVersion}},
      {"carriage return without newline", "\r", {}},
      {"unclosed quotes", "\"version\nversion \"not closed\n\"\"\"\n", {kVersion, kVersion}},
      {"600 characters", repeat('x', 600) + "\nversion\n", {kTooLong, kVersion}},
      {"10000 characters", repeat('y', 10000) + "\nversion\n", {kTooLong, kVersion}},
      {"overlong command words",
       "version " + repeat('v', 700) + "\nversion\n",
       {kTooLong, kVersion}},
      {"overlong last line", repeat('z', 5000), {kTooLong}},
      {"overlong then empty",
       repeat('z', 600) + "\n\n",
       {kTooLong, "-ERR Not a valid command (nocommand) use help"}},
      {"511 and newline", repeat('b', 511) + "\nversion\n", {kTooLong, kVersion}},
      {"510 and newline",
       word510 + "\n",
       {"-ERR Not a valid command (" + word510 + ") use \"help\""}},
      {"bytes above 127",
       "\xff\xfe\x80 x\nversion\n",
       {"-ERR Not a valid command (\xff\xfe\x80) use \"help\"", kVersion}},
      {"tab is no separator",
       "version\tx\n",
       {"-ERR Not a valid command (version\tx) use \"help\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChildResult result = run(c.input);
    ASSERT_TRUE(result.exited) << "signal " << result.signal << "\n" << result.err;
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(split_lines(result.out), c.out);
    expect_nothing_outside();
  }
}

TEST_F(BadInputTest, AccountCommandsWithHostileWordsDoNotCrash) {
  write_text(work_ / "ostrel.ini", default_settings());
  const std::string input =
      "check \xff\xfe pw\n"
      "lookup \xc3\n"
      "del \x80\x80\n"
      "search \xff*\n"
      "check alice \"open quote\n"
      "set " +
      repeat('n', 400) +
      " pw\n"
      "lookup " +
      repeat('l', 500) +
      "\n"
      "version\n";
  const ChildResult result = run(input);
  ASSERT_TRUE(result.exited) << "signal " << result.signal << "\n" << result.err;
  EXPECT_EQ(result.exit_code, 0);
  const std::vector<std::string> lines = split_lines(result.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kVersion);
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.rfind("+OK", 0) == 0 || line.rfind("+DATA", 0) == 0 ||
                line.rfind("-ERR", 0) == 0)
        << line;
  }
  expect_nothing_outside();
}

TEST_F(BadInputTest, BrokenSettingsFilesAreReadWithoutHarm) {
  // Deterministic bytes of every value, NUL, CR and LF included.
  std::string binary;
  unsigned state = 12345;
  for (int i = 0; i < 100000; ++i) {
    state = state * 1103515245u + 12345u;
    binary.push_back(static_cast<char>(state >> 16));
  }
  struct Case {
    std::string name;
    std::string settings;
  };
  const Case cases[] = {
      {"100000-character value", default_settings() + "group " + repeat('g', 100000) + "\n"},
      {"100000-character line without newline", default_settings() + repeat('k', 100000)},
      {"binary content", default_settings() + binary},
      {"binary first", binary + "\n" + default_settings()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(work_ / "ostrel.ini", c.settings);
    const ChildResult result = run("version\nquit\n");
    ASSERT_TRUE(result.exited) << "signal " << result.signal << "\n" << result.err;
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(split_lines(result.out), (std::vector<std::string>{kVersion, "+OK"}));
    expect_nothing_outside();
  }
}

TEST_F(BadInputTest, OverlongPathSettingEndsTheRunWithStatusOne) {
  write_text(work_ / "ostrel.ini", "path " + repeat('p', 100000) + "\n");
  const ChildResult result = run("version\n");
  ASSERT_TRUE(result.exited) << "signal " << result.signal;
  EXPECT_EQ(result.exit_code, 1);
  const std::vector<std::string> lines = split_lines(result.out);
  ASSERT_EQ(lines.size(), 1u) << result.out;
  EXPECT_EQ(lines[0].rfind("-DEAD Unable to create log file {", 0), 0u) << lines[0];
  EXPECT_TRUE(fs::is_empty(cwd_));
}

TEST_F(BadInputTest, MissingSettingsFileEndsWithStatusOne) {
  const ChildResult result = run("version\n", {"version"});
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exit_code, 1);
  const std::vector<std::string> lines = split_lines(result.out);
  ASSERT_EQ(lines.size(), 1u) << result.out;
  const std::string head = "-DEAD Unable to open {" + (work_ / "ostrel.ini").string() + "} or {";
  EXPECT_EQ(lines[0].rfind(head, 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("corvex.ini,"), std::string::npos) << lines[0];
  EXPECT_EQ(result.input_read, 0);
}

TEST_F(BadInputTest, StartUpSwitches) {
  const std::string banner = "Brellan's Ostrel module, Version 1.0g";
  const std::string notice =
      "-debug found, logging to stdout, NB: don't use this option when being run by tarsend or "
      "tarfetch!";
  // "-version" anywhere ends the run before anything is read, settings file or not.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-version"}, {"check", "alice", "-version"}, {"path", "/nonexistent", "-version"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const ChildResult result = run_ostrel(cwd_, args, "quit\n");
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, banner + "\n");
    EXPECT_EQ(result.input_read, 0);
    EXPECT_TRUE(fs::is_empty(cwd_));
  }
  const ChildResult both = run_ostrel(cwd_, {"-debug", "-version"}, "");
  EXPECT_EQ(both.out, notice + "\n" + banner + "\n");

  // "-debug" echoes the log on standard output, among the replies.
  write_text(work_ / "ostrel.ini", default_settings());
  const ChildResult debug = run("version\nquit\n", {"-debug"});
  ASSERT_TRUE(debug.exited);
  EXPECT_EQ(debug.exit_code, 0);
  const std::vector<std::string> lines = split_lines(debug.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], notice);
  std::vector<std::string> replies;
  bool echoed_terminal_input = false;
  for (const std::string& line : lines) {
    if (line.rfind("+OK", 0) == 0) replies.push_back(line);
    if (log_message(line) == "DEBUG Terminal input..") echoed_terminal_input = true;
  }
  EXPECT_EQ(replies, (std::vector<std::string>{kVersion, "+OK"}));
  EXPECT_TRUE(echoed_terminal_input);
  // "-debug" logs the settings file's lines before its "path" keyword opens the log.
  expect_nothing_outside(true);
  EXPECT_NE(read_text(cwd_ / "init.log").find("DEBUG Opened ["), std::string::npos);
}

TEST_F(BadInputTest, CommandLineModeServesOneCommand) {
  write_text(work_ / "ostrel.ini", default_settings());
  const ChildResult quit = run("version\n", {"quit"});
  ASSERT_TRUE(quit.exited);
  EXPECT_EQ(quit.exit_code, 0);
  EXPECT_EQ(quit.out, "+OK\n");
  EXPECT_EQ(quit.input_read, 0);

  // A user named "path" after the command word is no path option: the log stays.
  const ChildResult check = run("", {"check", "path", "/nonexistent"});
  ASSERT_TRUE(check.exited);
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.out.find("-DEAD"), std::string::npos) << check.out;
  EXPECT_EQ(split_lines(check.out).size(), 1u) << check.out;
  EXPECT_FALSE(fs::exists("/nonexistent"));
  const std::string log = read_text(work_ / "ostrel.log");
  EXPECT_NE(log.find("DEBUG Function? {check}"), std::string::npos);
  expect_nothing_outside();
}

TEST_F(BadInputTest, EndOfInputEndsTheRunCleanly) {
  write_text(work_ / "ostrel.ini", default_settings());
  for (const std::string& input : {std::string(), std::string("version")}) {
    SCOPED_TRACE(input);
    fs::remove(work_ / "ostrel.log");
    const ChildResult result = run(input);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, input.empty() ? "" : std::string(kVersion) + "\n");
    const std::vector<std::string> log = split_lines(read_text(work_ / "ostrel.log"));
    bool ended = false;
    for (const std::string& line : log) {
      ended = ended || log_message(line) == "INFO Ostrel version 1.0g ends.";
    }
    EXPECT_TRUE(ended);
  }
}

}  // namespace
