#include "platform/posix/common/lockout.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

namespace ostrel_posix {
namespace {

std::mutex policy_mutex;
LockoutPolicy current;

thread_local std::string current_source;
thread_local LogonRefusal last_refusal = LogonRefusal::kNone;

// NIST SP 800-63B allows at most 100 wrong passwords before an account is limited.
constexpr unsigned kMaxAccountThreshold = 100;

// Starts a count again when its lock ran out or its last wrong password left the window.
void expire(LogonTally& tally, std::int64_t now, const LockoutPolicy& policy) {
  if (tally.locked_since != 0 || now - tally.last_bad >= policy.window_s) tally = LogonTally{};
}

void add_wrong(LogonTally& tally, std::int64_t now, unsigned threshold) {
  ++tally.bad_count;
  tally.last_bad = now;
  if (threshold != 0 && tally.bad_count >= threshold && tally.locked_since == 0)
    tally.locked_since = now;
}

}  // namespace

LockoutPolicy lockout_policy() {
  std::lock_guard<std::mutex> lock(policy_mutex);
  return current;
}

std::int64_t lockout_clock() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

std::string source_key(std::string_view address) {
  std::string text(address.substr(0, 255));
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    char out[INET6_ADDRSTRLEN] = {};
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      inet_ntop(AF_INET, &v6.s6_addr[12], out, sizeof out);
      return out;
    }
    // One host of IPv6 commonly holds a whole /64: it is counted as one source.
    std::memset(&v6.s6_addr[8], 0, 8);
    inet_ntop(AF_INET6, &v6, out, sizeof out);
    return std::string(out) + "/64";
  }
  if (text.size() > kMaxSourceLength) text.resize(kMaxSourceLength);
  return text;
}

const std::string& logon_source() {
  return current_source;
}

void note_logon_refusal(LogonRefusal why) {
  last_refusal = why;
}

bool tally_locked(const LogonTally& tally, std::int64_t now, const LockoutPolicy& policy) {
  if (policy.threshold == 0 || tally.locked_since == 0) return false;
  return policy.duration_s == 0 || now < tally.locked_since + policy.duration_s;
}

Attempt count_attempt(LogonTally& account, LogonTally* source, bool password_right, bool stale,
                      std::int64_t now, const LockoutPolicy& policy) {
  if (policy.threshold == 0) return password_right ? Attempt::accepted : Attempt::refused;
  if (tally_locked(account, now, policy)) {
    ++account.bad_count;
    account.last_bad = now;
    return Attempt::locked;
  }
  if (source != nullptr && tally_locked(*source, now, policy)) {
    ++source->bad_count;
    source->last_bad = now;
    return Attempt::throttled;
  }
  expire(account, now, policy);
  if (source != nullptr) expire(*source, now, policy);
  if (password_right) {
    (source != nullptr ? *source : account) = LogonTally{};
    return Attempt::accepted;
  }
  if (stale) return Attempt::refused;
  if (source != nullptr) add_wrong(*source, now, policy.threshold);
  add_wrong(account, now, source != nullptr ? policy.account_threshold : policy.threshold);
  return Attempt::refused;
}

LogonRefusal refusal_of(Attempt verdict) {
  switch (verdict) {
    case Attempt::accepted:
      return LogonRefusal::kNone;
    case Attempt::refused:
      return LogonRefusal::kWrongPassword;
    case Attempt::locked:
      return LogonRefusal::kLockedAccount;
    case Attempt::throttled:
      return LogonRefusal::kThrottledSource;
  }
  return LogonRefusal::kWrongPassword;
}

bool repeat_of_recent_wrong(std::vector<RecentWrong>& recent, const std::string& key,
                            std::int64_t now, const LockoutPolicy& policy) {
  std::erase_if(recent, [&](const RecentWrong& e) { return now - e.at >= policy.window_s; });
  if (key.empty()) return false;
  const auto same = std::find_if(recent.begin(), recent.end(),
                                 [&key](const RecentWrong& e) { return e.key == key; });
  const bool stale = same != recent.end();
  if (stale) recent.erase(same);
  // The newest first, this one ahead of any tried in the same second.
  recent.insert(recent.begin(), {key, now});
  std::stable_sort(recent.begin(), recent.end(),
                   [](const RecentWrong& a, const RecentWrong& b) { return a.at > b.at; });
  if (recent.size() > kRecentWrongKept) recent.resize(kRecentWrongKept);
  return stale;
}

}  // namespace ostrel_posix

void platform_set_lockout_policy(const PlatformLockoutPolicy& given) {
  using namespace ostrel_posix;
  LockoutPolicy policy;
  policy.threshold = given.threshold;
  policy.account_threshold =
      given.account_threshold != 0
          ? given.account_threshold
          : std::min(given.threshold * 10, std::max(given.threshold, kMaxAccountThreshold));
  policy.duration_s = static_cast<std::int64_t>(given.duration_minutes) * 60;
  policy.window_s = static_cast<std::int64_t>(given.window_minutes) * 60;
  std::lock_guard<std::mutex> lock(policy_mutex);
  current = policy;
}

void platform_set_logon_source(const char* source) {
  ostrel_posix::current_source =
      source != nullptr && *source != '\0' ? ostrel_posix::source_key(source) : std::string();
}

LogonRefusal platform_last_logon_refusal() {
  return ostrel_posix::last_refusal;
}
