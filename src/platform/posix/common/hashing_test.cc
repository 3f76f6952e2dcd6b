#include "platform/posix/common/hashing.h"

#include <gtest/gtest.h>
#include <sodium.h>

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

// The dummy is a well-formed hash text of the current parameters (so an unknown user costs
// what a wrong password costs), matches nothing, and follows a change of the parameters.
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

}  // namespace
