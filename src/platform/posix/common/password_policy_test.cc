#include "platform/posix/common/password_policy.h"

#include <gtest/gtest.h>
#include <nettle/sha1.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace ostrel_posix {
namespace {

std::string sha1_hex(const std::string& text) {
  sha1_ctx context;
  unsigned char digest[SHA1_DIGEST_SIZE];
  sha1_init(&context);
  sha1_update(&context, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
  sha1_digest(&context, sizeof digest, digest);
  char hex[2 * SHA1_DIGEST_SIZE + 1];
  for (std::size_t i = 0; i < sizeof digest; ++i) std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);
  return hex;
}

// A password whose SHA-1 begins with prefix: "<stem>0", "<stem>1", ...
std::string password_hashing_to(const std::string& stem, const std::string& prefix) {
  for (int i = 0;; ++i) {
    const std::string candidate = stem + std::to_string(i);
    if (sha1_hex(candidate).compare(0, prefix.size(), prefix) == 0) return candidate;
  }
}

std::string last_rule;
void remember_rule(const char*, const char* rule) {
  last_rule = rule;
}

class PasswordPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrel-policy-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform_set_password_reporter(remember_rule);
    last_rule.clear();
  }
  void TearDown() override {
    platform_set_password_policy(PlatformPasswordPolicy{});
    platform_set_password_reporter(nullptr);
    platform_set_file_reporter(nullptr);
    std::filesystem::remove_all(dir_);
  }
  DWORD check(const std::string& account, const std::string& password) {
    AccountName name;
    name.text = account;
    return check_password_policy(name, password);
  }
  std::string write_list(const char* file, const std::vector<std::string>& lines,
                         const char* end = "\n") {
    const std::string path = dir_ + "/" + file;
    std::FILE* out = std::fopen(path.c_str(), "w");
    for (std::size_t i = 0; i < lines.size(); ++i)
      std::fprintf(out, "%s%s", lines[i].c_str(), i + 1 < lines.size() ? end : "");
    std::fclose(out);
    chmod(path.c_str(), 0644);
    return path;
  }
  std::string dir_;
};

// Each rule alone and all together, with the rule the log names.
TEST_F(PasswordPolicyTest, EachRuleRefusesWithItsReason) {
  const std::string list = write_list("deny.txt", {sha1_hex("Summer#2024") + ":1234"});
  const struct {
    unsigned min_length;
    bool complexity;
    const char* deny;
    const char* account;
    const char* password;
    const char* rule;  // null: taken
  } cases[] = {
      {0, false, nullptr, "alice", "a", nullptr},  // no policy: today's behaviour
      {12, false, nullptr, "alice", "elevenchars", "shorter than 12 characters"},
      {12, false, nullptr, "alice", "twelve chars", nullptr},
      // Characters, not bytes: eleven characters in 22 bytes are still too short.
      {12, false, nullptr, "alice", "ééééééééééé", "shorter than 12 characters"},
      {0, true, nullptr, "alice", "lowercase123",
       "not three of upper case, lower case, digits and other characters"},
      {0, true, nullptr, "alice", "Lower123", nullptr},
      {0, true, nullptr, "alice", "lower#123", nullptr},
      {0, true, nullptr, "alice", "UPPER#€1", nullptr},
      {0, true, nullptr, "alice", "My#ALICE1", "holds the account name"},
      {0, true, nullptr, "al", "al#Al1xyz", nullptr},  // names under three characters
      {0, true, nullptr, "alice.smith@example.org", "Smith#2024",
       "holds a part of the account name"},
      {0, true, nullptr, "alice.smith@example.org", "Example#2024", nullptr},
      {0, false, "deny", "alice", "Summer#2024", "in the list of breached passwords"},
      {0, false, "deny", "alice", "Winter#2024", nullptr},
      {12, true, "deny", "bob", "Correct-Horse-7", nullptr},
  };
  for (const auto& c : cases) {
    platform_set_password_policy(
        {c.min_length, c.complexity, 0, c.deny != nullptr ? list.c_str() : nullptr});
    last_rule.clear();
    EXPECT_EQ(check(c.account, c.password), c.rule ? NERR_PasswordTooShort : 0) << c.password;
    EXPECT_EQ(last_rule, c.rule ? c.rule : "") << c.password;
  }
}

// A million sorted lines: the hashes of the first and the last line, one in between, and
// hashes that fall before, between and after the lines are found or not.
TEST_F(PasswordPolicyTest, DenyListOfAMillionLinesIsSearched) {
  const std::string first = password_hashing_to("first", "00");
  const std::string last = password_hashing_to("last", "FF");
  const std::string middle = password_hashing_to("middle", "8");
  std::vector<std::string> lines;
  lines.reserve(1000003);
  char hex[41];
  for (unsigned i = 0; i < 1000000; ++i) {
    // Spread over 01.. to FE.., none starting 00 or FF.
    std::snprintf(hex, sizeof hex, "%02X%08X%030u", 1 + i % 254, i * 2654435761u, i);
    lines.push_back(std::string(hex) + ":" + std::to_string(i % 1000 + 1));
  }
  for (const auto& p : {first, last, middle}) lines.push_back(sha1_hex(p) + ":7");
  std::sort(lines.begin(), lines.end());
  ASSERT_EQ(lines.front().substr(0, 40), sha1_hex(first));
  ASSERT_EQ(lines.back().substr(0, 40), sha1_hex(last));
  for (const char* end : {"\n", "\r\n"}) {
    const std::string list = write_list("million.txt", lines, end);
    platform_set_password_policy({0, false, 0, list.c_str()});
    for (const auto& p : {first, last, middle})
      EXPECT_EQ(check("alice", p), NERR_PasswordTooShort) << p;
    for (const auto& p : {password_hashing_to("below", "000"), password_hashing_to("above", "FFF"),
                          password_hashing_to("among", "7"), std::string("not-listed")})
      EXPECT_EQ(check("alice", p), 0u) << p;
  }
}

// The list is a file the settings name: one that another user could have planted, one that
// is missing, and one that is no such list make every set fail as a misconfiguration.
TEST_F(PasswordPolicyTest, DenyListFollowsTheTrustRule) {
  static std::string refused;
  platform_set_file_reporter(
      [](const char* path, const char* reason) { refused = std::string(path) + ": " + reason; });
  const std::string good = write_list("good.txt", {sha1_hex("x") + ":1"});
  const std::string writable = write_list("writable.txt", {sha1_hex("x") + ":1"});
  chmod(writable.c_str(), 0666);
  const std::string link = dir_ + "/link.txt";
  ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
  std::vector<std::string> garbage(5000, "this is not a hash");
  const std::string words = write_list("words.txt", garbage);
  const struct {
    std::string path;
    const char* reason;
  } cases[] = {
      {writable, "writable by group or others"},
      {link, "a symbolic link"},
      {dir_ + "/missing.txt", "No such file or directory"},
      {words, "not a sorted list of SHA-1 hashes in hex, one a line"},
  };
  for (const auto& c : cases) {
    platform_set_password_policy({0, false, 0, c.path.c_str()});
    refused.clear();
    EXPECT_EQ(check("alice", "anything"), ERROR_BAD_CONFIGURATION) << c.path;
    EXPECT_EQ(refused, c.path + ": " + c.reason);
  }
  // An empty list denies nothing.
  platform_set_password_policy({0, false, 0, write_list("empty.txt", {}).c_str()});
  EXPECT_EQ(check("alice", "anything"), 0u);
}

}  // namespace
}  // namespace ostrel_posix
