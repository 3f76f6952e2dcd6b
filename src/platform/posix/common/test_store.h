// Test support: a scratch directory with its own account store, and small helpers to make
// and read records.
#pragma once

#include <gtest/gtest.h>
#include <sodium.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "platform/posix/common/hashing.h"
#include "platform/posix/common/utf.h"

namespace ostrel_posix {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrel-platform-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    db_ = dir_ + "/accounts.db";
    platform_clear_faults();
    platform_set_account_db(db_.c_str());
    platform_set_hash_limits_for_tests(crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN);
  }

  void TearDown() override {
    platform_close_store();
    platform_clear_faults();
    platform_set_hash_limits_for_tests(kDefaultOpsLimit, kDefaultMemLimit);
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }

  std::string dir_;
  std::string db_;
};

/// UTF-8 to UTF-16 for test data (valid by construction).
inline std::u16string wide(const std::string& text) {
  std::u16string out;
  utf8_to_utf16(text, out);
  return out;
}

/// UTF-16 to UTF-8, "(null)" for an absent text.
inline std::string narrow(const WCHAR* text) {
  if (text == nullptr) return "(null)";
  std::string out;
  utf16_to_utf8(std::u16string_view(text), out);
  return out;
}

/// A USER_INFO_1 whose texts it owns; an unset text stays absent.
struct Record {
  std::u16string name, password, home_dir, comment, script_path;
  bool has_password = true, has_home_dir = false, has_comment = false, has_script_path = false;
  DWORD priv = USER_PRIV_USER;
  DWORD flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  USER_INFO_1 info{};

  LPBYTE bytes() {
    info.usri1_name = name.data();
    info.usri1_password = has_password ? password.data() : nullptr;
    info.usri1_password_age = 0;
    info.usri1_priv = priv;
    info.usri1_home_dir = has_home_dir ? home_dir.data() : nullptr;
    info.usri1_comment = has_comment ? comment.data() : nullptr;
    info.usri1_flags = flags;
    info.usri1_script_path = has_script_path ? script_path.data() : nullptr;
    return reinterpret_cast<LPBYTE>(&info);
  }
};

inline Record record(const std::string& name, const char* password = "secret") {
  Record r;
  r.name = wide(name);
  r.has_password = password != nullptr;
  if (password != nullptr) r.password = wide(password);
  return r;
}

inline DWORD add(Record r) {
  DWORD parm = 0;
  return NetUserAdd(nullptr, 1, r.bytes(), &parm);
}

}  // namespace ostrel_posix
