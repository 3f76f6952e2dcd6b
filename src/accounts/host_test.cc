#include <unistd.h>

#include <string>

#include "accounts/accounts_test_support.h"

namespace {

using HostTest = AccountsTest;

TEST_F(HostTest, HostSettingIsPrefixedWithTwoBackslashes) {
  struct Case {
    std::string setting;
    std::string result;
    bool changed;
  };
  const std::string long_name(600, 'h');
  const Case cases[] = {
      {"mail1", "\\\\mail1", true},
      {"\\\\mail2", "\\\\mail2", false},
      {"\\single", "\\single", false},  // only the first character is tested
      {long_name, "\\\\" + long_name.substr(0, 509), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting.substr(0, 20));
    settings().host = c.setting;
    const std::string before = log_text();
    const WideBuffer host = resolve_host();
    ASSERT_TRUE(host);
    EXPECT_EQ(narrow_of(host.get()), c.result);
    const std::string lines = log_text().substr(before.size());
    EXPECT_NE(lines.find("INFO Host {" + c.setting.substr(0, 511) + "}\n"), std::string::npos);
    const std::string change =
        "INFO Host does not start with \\\\, so changed to (" + c.result + ")";
    EXPECT_EQ(lines.find(change) != std::string::npos, c.changed) << lines;
    EXPECT_EQ(lines.find("registry"), std::string::npos);
  }
}

TEST_F(HostTest, EmptySettingSkipsTheRegistry) {
  settings().host = "";
  EXPECT_FALSE(resolve_host());
  const std::string log = log_text();
  EXPECT_NE(log.find("INFO Host - not set by 'host ini setting' and can't find in registry "
                     "(HKEY_LOCAL_MACHINE) "
                     "(SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName))"),
            std::string::npos);
  EXPECT_EQ(log.find("Got host name from registry"), std::string::npos);
}

TEST_F(HostTest, RegistryGivesTheComputerName) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  const WideBuffer host = resolve_host();
  ASSERT_TRUE(host);
  EXPECT_EQ(narrow_of(host.get()), std::string("\\\\") + name);
  const std::string log = log_text();
  const auto got = log.find("INFO Got host name from registry");
  const auto named = log.find(std::string("INFO Host {") + name + "}");
  const auto changed = log.find("INFO Host does not start with");
  EXPECT_NE(got, std::string::npos);
  EXPECT_LT(got, named);
  EXPECT_LT(named, changed);
}

TEST_F(HostTest, RegistryFailuresLeaveNoHost) {
  struct Case {
    const char* function;
    DWORD code;
    const char* line;  // the line that tells what failed
  };
  const Case cases[] = {
      {"RegCreateKeyW", ERROR_ACCESS_DENIED, "INFO Got host name from registry"},
      {"RegQueryValueExW", ERROR_FILE_NOT_FOUND, "INFO Got host name from registry"},
      {"MultiByteToWideChar", ERROR_INVALID_PARAMETER,
       "INFO Conversion error for KEY_COMPUTER_NAME - can't retrieve hostname from registry"},
      {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER,
       "ERROR conversion error for computer name from registry entry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    platform_clear_faults();
    platform_inject_fault(c.function, c.code);
    const std::string before = log_text();
    EXPECT_FALSE(resolve_host());
    const std::string lines = log_text().substr(before.size());
    const auto failed = lines.find(c.line);
    EXPECT_NE(failed, std::string::npos) << lines;
    EXPECT_LT(failed, lines.find("INFO Host - not set by 'host ini setting'"));
    EXPECT_EQ(lines.find("INFO Host {"), std::string::npos);
  }
}

TEST_F(HostTest, ConversionErrorRepliesByLastError) {
  struct Case {
    DWORD code;
    const char* reply;
  };
  const Case cases[] = {
      {ERROR_INVALID_PARAMETER, "-ERR Unable to convert to unicode, invalid parameter.\n"},
      {ERROR_INSUFFICIENT_BUFFER,
       "-ERR Unable to convert to unicode, insufficient buffer space.\n"},
      {ERROR_INVALID_FLAGS, "-ERR Unable to convert to unicode, invalid flags.\n"},
      {ERROR_NO_UNICODE_TRANSLATION,
       "-ERR Unable to convert to unicode, no possible translation.\n"},
      {ERROR_ACCESS_DENIED, "-ERR 5:Unable to convert to unicode.\n"},
      {0xFFFFFFFFu, "-ERR -1:Unable to convert to unicode.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(captured([&] {
                SetLastError(c.code);
                report_conversion_error();
              }),
              c.reply);
  }
  // The real failures give the same wording in both directions.
  EXPECT_EQ(captured([] {
              EXPECT_FALSE(to_wide("\xff\xfe"));
              report_conversion_error();
            }),
            "-ERR Unable to convert to unicode, no possible translation.\n");
  EXPECT_EQ(captured([] {
              EXPECT_FALSE(to_wide(std::string(512, 'x').c_str()));
              report_conversion_error();
            }),
            "-ERR Unable to convert to unicode, insufficient buffer space.\n");
  EXPECT_EQ(captured([] {
              platform_inject_fault("WideCharToMultiByte", ERROR_NO_UNICODE_TRANSLATION);
              char out[kLineBuffer];
              EXPECT_EQ(to_narrow(OSTREL_WIDE("x"), out), 0);
              report_conversion_error();
            }),
            "-ERR Unable to convert to unicode, no possible translation.\n");
  // After an earlier negative reply of the same command it only reaches the log.
  EXPECT_EQ(captured([] {
              reply_negative("-ERR first");
              SetLastError(ERROR_INVALID_FLAGS);
              report_conversion_error();
            }),
            "-ERR first\n");
  EXPECT_NE(log_text().find("ERROR -ERR Unable to convert to unicode, invalid flags."),
            std::string::npos);
}

TEST_F(HostTest, BadParameterReplies) {
  const char* replies[] = {
      "",
      "-ERR Username invalid.\n",
      "-ERR Password invalid.\n",
      "-ERR Password age invalid.\n",
      "-ERR Privilage invalid.\n",
      "-ERR Home directory invalid.\n",
      "-ERR Comment invlaid.\n",
      "-ERR Flags invalid.\n",
      "-ERR Script path invalid.\n",
      "",
  };
  for (DWORD index = 0; index <= 9; ++index) {
    SCOPED_TRACE(index);
    int result = -1;
    EXPECT_EQ(captured([&] { result = report_bad_parameter(index); }), replies[index]);
    EXPECT_EQ(result, index >= 1 && index <= 8 ? 1 : 0);
  }
  int result = -1;
  EXPECT_EQ(captured([&] { result = report_bad_parameter(0xFFFFFFFFu); }), "");
  EXPECT_EQ(result, 0);
}

TEST_F(HostTest, WideBuffersRoundTrip) {
  const std::string texts[] = {"", "alice", "caf\xc3\xa9", std::string(511, 'y')};
  for (const std::string& text : texts) {
    const WideBuffer wide = to_wide(text.c_str());
    ASSERT_TRUE(wide);
    EXPECT_EQ(narrow_of(wide.get()), text);
  }
  SetLastError(0);
  EXPECT_FALSE(to_wide(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
