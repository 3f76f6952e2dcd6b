#include "platform/posix/hashing.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using ostrel_posix::dummy_hash;
using ostrel_posix::hash_password;
using ostrel_posix::verify_password;

struct HashLimits {
  HashLimits(unsigned long long ops, std::size_t mem) {
    platform_set_hash_limits_for_tests(ops, mem);
  }
  ~HashLimits() {
    platform_set_hash_limits_for_tests(ostrel_posix::kDefaultOpsLimit,
                                       ostrel_posix::kDefaultMemLimit);
  }
};

double seconds_to_verify(const std::string& hash) {
  const auto start = std::chrono::steady_clock::now();
  verify_password(hash, "not the password");
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The dummy is a well-formed hash text of the current parameters, matches nothing, and
// follows a change of the parameters.
TEST(DummyHash, CarriesTheCurrentParametersAndMatchesNothing) {
  const struct {
    unsigned long long ops;
    std::size_t mem;
  } cases[] = {{1, 8192}, {2, 64 * 1024}, {3, 1024 * 1024}};
  for (const auto& c : cases) {
    HashLimits limits(c.ops, c.mem);
    const std::string dummy = dummy_hash();
    ASSERT_FALSE(dummy.empty());
    EXPECT_EQ(dummy, dummy_hash()) << "kept while the parameters stay";
    EXPECT_EQ(crypto_pwhash_str_needs_rehash(dummy.c_str(), c.ops, c.mem), 0) << dummy;
    EXPECT_FALSE(ostrel_posix::hash_needs_renewal(dummy));
    for (const char* password : {"", "secret", "(NULL)"})
      EXPECT_FALSE(verify_password(dummy, password));
  }
}

// A dummy that fails to decode would be refused at once, and an unknown user told apart
// from a wrong password by the time it takes.
TEST(DummyHash, CostsAsMuchAsARealHash) {
  HashLimits limits(2, 4u * 1024u * 1024u);
  std::string real;
  ASSERT_TRUE(hash_password("secret", real));
  const std::string dummy = dummy_hash();
  std::vector<double> real_times, dummy_times;
  for (int i = 0; i < 7; ++i) {
    real_times.push_back(seconds_to_verify(real));
    dummy_times.push_back(seconds_to_verify(dummy));
  }
  // Loose: a shared machine is noisy, and a text refused unread takes microseconds.
  EXPECT_GT(median(dummy_times), 0.3 * median(real_times));
}

}  // namespace
