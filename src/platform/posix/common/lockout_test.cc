#include "platform/posix/common/lockout.h"

#include <gtest/gtest.h>

namespace ostrel_posix {
namespace {

// Sources are compared as the mail server wrote them, except that a whole IPv6 /64 is one
// source and an IPv4 address mapped into IPv6 is that IPv4 address.
TEST(LockoutSource, AddressesAreCountedAsWrittenAndIpv6PerNetwork) {
  const struct {
    const char* given;
    const char* counted;
  } cases[] = {
      {"192.0.2.1", "192.0.2.1"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
      {"2001:DB8:1:2::1", "2001:db8:1:2::/64"},
      {"::ffff:192.0.2.1", "192.0.2.1"},
      {"mail.example.org", "mail.example.org"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(source_key(c.given), c.counted) << c.given;
  EXPECT_EQ(source_key(std::string(300, 'x')).size(), kMaxSourceLength);
}

}  // namespace
}  // namespace ostrel_posix
