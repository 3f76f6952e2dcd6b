#include "platform/posix/common/lockout.h"

#include <ctime>
#include <mutex>

#include "platform/platform.h"

namespace ostrel_posix {
namespace {

std::mutex policy_mutex;
LockoutPolicy current;

}  // namespace

LockoutPolicy lockout_policy() {
  std::lock_guard<std::mutex> lock(policy_mutex);
  return current;
}

std::int64_t lockout_clock() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

bool tally_locked(const LogonTally& tally, std::int64_t now, const LockoutPolicy& policy) {
  if (policy.threshold == 0 || tally.locked_since == 0) return false;
  return policy.duration_s == 0 || now < tally.locked_since + policy.duration_s;
}

Attempt count_attempt(LogonTally& tally, bool password_right, std::int64_t now,
                      const LockoutPolicy& policy) {
  if (policy.threshold == 0) return password_right ? Attempt::accepted : Attempt::refused;
  if (tally_locked(tally, now, policy)) {
    ++tally.bad_count;
    tally.last_bad = now;
    return Attempt::locked;
  }
  if (tally.locked_since != 0 || now - tally.last_bad >= policy.window_s) {
    tally.bad_count = 0;
    tally.locked_since = 0;
  }
  if (password_right) {
    tally = LogonTally{};
    return Attempt::accepted;
  }
  ++tally.bad_count;
  tally.last_bad = now;
  if (tally.bad_count >= policy.threshold) tally.locked_since = now;
  return Attempt::refused;
}

}  // namespace ostrel_posix

void platform_set_lockout_policy(const PlatformLockoutPolicy& given) {
  using namespace ostrel_posix;
  LockoutPolicy policy;
  policy.threshold = given.threshold;
  policy.duration_s = static_cast<std::int64_t>(given.duration_minutes) * 60;
  policy.window_s = static_cast<std::int64_t>(given.window_minutes) * 60;
  std::lock_guard<std::mutex> lock(policy_mutex);
  current = policy;
}
