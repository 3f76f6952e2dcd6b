// Shared fixture of the account unit tests: a scratch directory with its own account
// store and log, replies captured from standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "log/log.h"
#include "service/service.h"
#include "settings/settings.h"

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrel-accounts-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    reset_settings_for_tests();
    reset_service_for_tests();
    reset_log_for_tests();
    platform_clear_faults();
    platform_set_account_db((dir_ + "/ostrel.db").c_str());
    platform_set_hash_limits_for_tests(1, 8192);  // the argon2id minimums keep tests fast
    settings().uname = "Ostrel 1.0g user";
    set_log_level(LOG_DEBUG);
    log_open(dir_.c_str(), "ostrel");
  }

  void TearDown() override {
    reset_log_for_tests();
    platform_close_store();
    platform_clear_faults();
    set_path_separator_for_tests('/');
    reset_settings_for_tests();
    reset_service_for_tests();
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }

  /// The log written so far.
  std::string log_text() const {
    std::ifstream in(dir_ + "/ostrel.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  /// Creates an account directly in the store; null fields stay absent.
  void add_user(const char* name, const char* password, const char* home = nullptr,
                const char* comment = nullptr, const char* script = nullptr) {
    WideBuffer wide[5] = {to_wide(name), to_wide(password), nullptr, nullptr, nullptr};
    if (home) wide[2] = to_wide(home);
    if (comment) wide[3] = to_wide(comment);
    if (script) wide[4] = to_wide(script);
    USER_INFO_1 record{};
    record.usri1_name = wide[0].get();
    record.usri1_password = wide[1].get();
    record.usri1_priv = USER_PRIV_USER;
    record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
    record.usri1_home_dir = wide[2].get();
    record.usri1_comment = wide[3].get();
    record.usri1_script_path = wide[4].get();
    DWORD parm = 0;
    ASSERT_EQ(NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm), NERR_Success)
        << name;
  }

  /// Runs a command handler on "ostrel <words...>" with the command word at index 1 and
  /// returns what it wrote to standard output; result_ holds its result.
  std::string run(CommandHandler handler, std::vector<std::string> words) {
    words.insert(words.begin(), "ostrel");
    storage_ = words;
    pointers_.clear();
    for (std::string& word : storage_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
    clear_negative_sent();
    testing::internal::CaptureStdout();
    result_ = handler(pointers_.data(), 1);
    return testing::internal::GetCapturedStdout();
  }

  /// Runs f and returns what it wrote to standard output.
  template <class F>
  std::string captured(F f) {
    clear_negative_sent();
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }

  std::string dir_;
  std::vector<std::string> storage_;  // the words of the last run, as the handler left them
  std::vector<char*> pointers_;
  int result_ = 0;
};

/// The UTF-16 text as UTF-8, for comparisons.
inline std::string narrow_of(LPCWSTR wide) {
  if (!wide) return "(null)";
  char out[kLineBuffer];
  return to_narrow(wide, out) ? std::string(out) : std::string("(failed)");
}
