// The account fixture with the group join configured, and helpers of the set and search
// tests: a handler run that keeps its words, accounts made, read and logged on to directly.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "accounts/accounts_test_support.h"

class StoreTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    settings().group = "Guests";
  }

  /// Runs handler on "ostrel <words...>" (the command word at index 1) and returns what
  /// it wrote to standard output; the handler's result goes to *result.
  std::string run(CommandHandler handler, const std::vector<std::string>& words, int* result) {
    std::vector<std::unique_ptr<char[]>> owned;
    std::vector<char*> argv;
    argv.push_back(keep(owned, "ostrel"));
    for (const auto& w : words) argv.push_back(keep(owned, w));
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    *result = handler(argv.data(), 1);
    std::string out = testing::internal::GetCapturedStdout();
    last_words_ = std::move(owned);
    clear_negative_sent();
    return out;
  }

  /// The words of the last run, as the handler left them.
  const char* last_word(size_t i) const { return last_words_.at(i).get(); }

  /// Creates an account directly through the platform; the password may be null.
  NET_API_STATUS make_account(const char* name, const char* password, const char* comment = nullptr,
                              const char* home = nullptr, const char* script = nullptr) {
    WideBuffer w_name = to_wide(name);
    WideBuffer w_password = password ? to_wide(password) : nullptr;
    WideBuffer w_comment = comment ? to_wide(comment) : nullptr;
    WideBuffer w_home = home ? to_wide(home) : nullptr;
    WideBuffer w_script = script ? to_wide(script) : nullptr;
    USER_INFO_1 record{};
    record.usri1_name = w_name.get();
    record.usri1_password = w_password.get();
    record.usri1_priv = USER_PRIV_USER;
    record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT;
    record.usri1_comment = w_comment.get();
    record.usri1_home_dir = w_home.get();
    record.usri1_script_path = w_script.get();
    DWORD parm = 0;
    return NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm);
  }

  /// Reads an account from the store; null when it cannot be read.
  UserRecord read_account(const char* name) {
    WideBuffer w_name = to_wide(name);
    LPBYTE buffer = nullptr;
    if (NetUserGetInfo(nullptr, w_name.get(), 1, &buffer) != NERR_Success) {
      NetApiBufferFree(buffer);
      return nullptr;
    }
    return UserRecord(reinterpret_cast<USER_INFO_1*>(buffer));
  }

  /// A record's text field as narrow text, "(absent)" for a null field.
  static std::string narrow(LPCWSTR field) {
    if (!field) return "(absent)";
    char out[kLineBuffer];
    return to_narrow(field, out) ? std::string(out) : std::string("(unconvertible)");
  }

  bool logon(const char* name, const char* password) {
    WideBuffer w_name = to_wide(name);
    WideBuffer w_password = to_wide(password);
    HANDLE token = nullptr;
    if (!LogonUserW(w_name.get(), nullptr, w_password.get(), LOGON32_LOGON_INTERACTIVE,
                    LOGON32_PROVIDER_DEFAULT, &token)) {
      return false;
    }
    CloseHandle(token);
    return true;
  }

 private:
  static char* keep(std::vector<std::unique_ptr<char[]>>& owned, const std::string& word) {
    owned.push_back(std::make_unique<char[]>(word.size() + 1));
    word.copy(owned.back().get(), word.size());
    owned.back()[word.size()] = '\0';
    return owned.back().get();
  }

  std::vector<std::unique_ptr<char[]>> last_words_;
};
