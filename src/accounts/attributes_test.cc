#include <filesystem>
#include <string>
#include <vector>

#include "accounts/accounts_test_support.h"

namespace {

using AttributesTest = AccountsTest;

TEST(AttributeValue, DropsOneQuoteAtEachEnd) {
  struct Case {
    const char* word;
    std::string value;
  };
  const std::string long_value(600, 'v');
  const std::string long_word = "home=" + long_value;
  const Case cases[] = {
      {"home=d:\\users\\bob", "d:\\users\\bob"},
      {"home=\"d:\\users\\bob\"", "d:\\users\\bob"},
      {"comment=\"two at the end\"\"", "two at the end\""},
      {"comment=\"", ""},
      {"comment=", ""},
      {"script=a=b", "a=b"},
      {"noequals", ""},
      {long_word.c_str(), long_value.substr(0, 512)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(attribute_value(c.word), c.value);
  }
  EXPECT_EQ(attribute_value(nullptr), nullptr);
}

// The record's text fields as "home|comment|script", absent ones as "(null)".
std::string fields_of(const USER_INFO_1& record) {
  return narrow_of(record.usri1_home_dir) + "|" + narrow_of(record.usri1_comment) + "|" +
         narrow_of(record.usri1_script_path);
}

TEST(WideBuffers, ComeBackWipedWhenReused) {
  // More buffers than the thread keeps, each holding a long secret, all given back at once.
  const std::string secret(500, 's');
  std::vector<WideBuffer> held;
  for (int i = 0; i < 6; ++i) held.push_back(to_wide(secret.c_str()));
  held.clear();
  for (int i = 0; i < 6; ++i) {
    WideBuffer fresh = i % 2 ? new_wide_buffer() : to_wide("ab");
    ASSERT_TRUE(fresh);
    const int start = i % 2 ? 0 : 3;  // after "ab" and its terminator
    if (i % 2 == 0) {
      EXPECT_EQ(fresh[1], u'b');
    }
    for (int unit = start; unit < kWideUnits; ++unit) {
      ASSERT_EQ(fresh[unit], 0) << unit;
    }
    held.push_back(std::move(fresh));
  }
}

TEST_F(AttributesTest, WordsFillTheRecord) {
  struct Case {
    std::vector<std::string> words;  // after the password
    std::string fields;
  };
  const Case cases[] = {
      {{}, "(null)|Ostrel 1.0g user|(null)"},
      {{"comment=", "script=logon.cmd"}, "(null)||logon.cmd"},
      {{"comment=Sales", "HOME=x", "other", "script="}, "(null)|Sales|"},
      {{"home=", "comment=one", "comment=two"}, "|two|(null)"},
      {{"script=\"a b\"", "home=rel/bob", "home=users\\bob"}, "users\\bob|Ostrel 1.0g user|a b"},
      {{"comment=" + std::string(511, 'c')}, "(null)|" + std::string(511, 'c') + "|(null)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.empty() ? "" : c.words[0]);
    std::vector<std::string> words = {"ostrel", "set", "bob", "pw"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    USER_INFO_1 record{};
    AttributeBuffers owned;
    int result = -1;
    EXPECT_EQ(
        captured([&] { result = apply_account_attributes(&record, pointers.data(), 3, owned); }),
        "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(fields_of(record), c.fields);
  }
  const std::string log = log_text();
  EXPECT_NE(log.find("DEBUG Set user information {HOME=x}."), std::string::npos);
  EXPECT_NE(log.find("DEBUG Unknown user info {HOME=x}"), std::string::npos);
  EXPECT_NE(log.find("DEBUG Checking user directory 'users\\bob'"), std::string::npos);
}

TEST_F(AttributesTest, FailuresStopTheScan) {
  struct Case {
    std::vector<std::string> words;
    const char* fault;  // a conversion that fails with 1004, or null
    std::string reply;
    std::string fields;
  };
  const Case cases[] = {
      {{"comment=x", "home=" + std::string(512, 'h'), "script=s"},
       nullptr,
       "-ERR Unable to convert to unicode, insufficient buffer space.\n",
       "(null)|x|(null)"},
      {{"comment=bad\xff", "script=s"},
       nullptr,
       "-ERR Unable to convert to unicode, no possible translation.\n",
       "(null)|(null)|(null)"},
      // set never stores what its replies could not carry.
      {{"comment=a\tb"}, nullptr, "-ERR Comment invlaid.\n", "(null)|a\tb|(null)"},
      {{"home=/x"},
       "WideCharToMultiByte",
       "-ERR Unable to convert to unicode, invalid flags.\n",
       "/x|Ostrel 1.0g user|(null)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    std::vector<std::string> words = {"ostrel", "set", "bob", "pw"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    USER_INFO_1 record{};
    AttributeBuffers owned;
    if (c.fault) platform_inject_fault(c.fault, ERROR_INVALID_FLAGS);
    int result = -1;
    EXPECT_EQ(
        captured([&] { result = apply_account_attributes(&record, pointers.data(), 3, owned); }),
        c.reply);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fields_of(record), c.fields);
    platform_clear_faults();
  }
  // The default comment cannot be converted.
  settings().uname = "bad\xff";
  USER_INFO_1 record{};
  AttributeBuffers owned;
  char* words[] = {nullptr, nullptr};
  EXPECT_EQ(captured([&] { EXPECT_EQ(apply_account_attributes(&record, words, 0, owned), 0); }),
            "-ERR Unable to convert to unicode, no possible translation.\n");
}

TEST_F(AttributesTest, HomeDirectoryIsCreatedOrRefused) {
  const std::string home = dir_ + "/users/bob";
  std::filesystem::create_directory(dir_ + "/users");
  std::string word = "home=" + home;
  char* full[] = {word.data(), word.data(), nullptr};  // the scan starts after index 0
  USER_INFO_1 record{};
  AttributeBuffers owned;
  int result = -1;
  EXPECT_EQ(captured([&] { result = apply_account_attributes(&record, full, 0, owned); }), "");
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(std::filesystem::is_directory(home));
  const std::string log = log_text();
  EXPECT_NE(log.find("INFO Find home directory {" + home + "}"), std::string::npos);
  EXPECT_NE(log.find("INFO Created '" + home + "' Directory"), std::string::npos);

  // A home directory already in the record is checked too, without a home= word.
  std::filesystem::create_symlink(dir_ + "/nowhere/x", dir_ + "/dangling");
  const WideBuffer unreachable = to_wide((dir_ + "/dangling/bob/mail").c_str());
  USER_INFO_1 read{};
  read.usri1_home_dir = unreachable.get();
  char* none[] = {full[0], nullptr};
  EXPECT_EQ(captured([&] { result = apply_account_attributes(&read, none, 0, owned); }),
            "-ERR Unable to create home directory '" + dir_ +
                "/dangling/bob', No such file or directory\n");
  EXPECT_EQ(result, 0);
}

TEST_F(AttributesTest, AttributeTextForThePresentFields) {
  struct Case {
    const char* home;
    const char* comment;
    const char* script;
    const char* text;  // null: no text
  };
  const Case cases[] = {
      {"d:\\users\\bob", "Sales", "logon.cmd",
       "home=\"d:\\users\\bob\" comment=\"Sales\" script=\"logon.cmd\""},
      {"/home/bob", nullptr, "s.cmd", "home=\"/home/bob\" script=\"s.cmd\""},
      {nullptr, "c", "s", "comment=\"c\" script=\"s\""},
      // Written by another tool: a quote would forge an attribute, a control character
      // could break the line; such a field is left out, the others stay.
      {"/home/bob", "x\" home=\"/srv/mail/victim", nullptr, "home=\"/home/bob\""},
      {nullptr, "c", "tab\there", "comment=\"c\""},
      {"/home/bob\x7f", "line\nbreak", nullptr, nullptr},
      {"", nullptr, nullptr, "home=\"\""},
      {nullptr, nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(none)");
    const WideBuffer home = c.home ? to_wide(c.home) : nullptr;
    const WideBuffer comment = c.comment ? to_wide(c.comment) : nullptr;
    const WideBuffer script = c.script ? to_wide(c.script) : nullptr;
    USER_INFO_1 record{};
    record.usri1_home_dir = home.get();
    record.usri1_comment = comment.get();
    record.usri1_script_path = script.get();
    char text[kMessageBuffer];
    bool shown = false;
    EXPECT_EQ(captured([&] { shown = format_account_attributes(&record, "bob", text); }), "");
    EXPECT_EQ(shown, c.text != nullptr);
    EXPECT_STREQ(text, c.text ? c.text : "");
  }
  char none[kMessageBuffer];
  EXPECT_FALSE(format_account_attributes(nullptr, "bob", none));

  // Every byte the reply cannot carry is found wherever it stands in values of several
  // lengths (whole steps of eight bytes and the rest); bytes next to them and UTF-8 pass.
  for (const std::size_t length : {1u, 7u, 8u, 9u, 16u, 21u}) {
    for (std::size_t at = 0; at < length; ++at) {
      for (const char bad : {'"', '\x01', '\x1f', '\x7f', '\n', '\r'}) {
        std::string value(length, 'a');
        value[at] = bad;
        SCOPED_TRACE(testing::Message() << length << " " << at << " " << int(bad));
        const WideBuffer wide = to_wide(value.c_str());
        USER_INFO_1 record{};
        record.usri1_comment = wide.get();
        char text[kMessageBuffer];
        EXPECT_EQ(captured([&] { EXPECT_FALSE(format_account_attributes(&record, "bob", text)); }),
                  "");
      }
    }
  }
  for (const std::string value : {"  !#~ \x7e\x21\x23", "caf\xc3\xa9 \xc3\xbf\xe2\x82\xac mail",
                                  "\xc2\x80\xc2\x9f\xc2\xa2\xc3\xbf-/srv/mail/x"}) {
    SCOPED_TRACE(value);
    const WideBuffer wide = to_wide(value.c_str());
    USER_INFO_1 record{};
    record.usri1_home_dir = wide.get();
    char text[kMessageBuffer];
    ASSERT_TRUE(format_account_attributes(&record, "bob", text));
    EXPECT_EQ(std::string(text), "home=\"" + value + "\"");
  }

  // A failed conversion: that field is left out, no reply, the others stay.
  const WideBuffer value = to_wide("x");
  USER_INFO_1 record{};
  record.usri1_comment = value.get();
  record.usri1_script_path = value.get();
  char text[kMessageBuffer];
  bool shown = false;
  EXPECT_EQ(captured([&] {
              platform_inject_fault("WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER);
              shown = format_account_attributes(&record, "bob", text);
            }),
            "");
  ASSERT_TRUE(shown);
  EXPECT_STREQ(text, "script=\"x\"");
}

}  // namespace
