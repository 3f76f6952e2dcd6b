// The account lockout policy and the count of wrong passwords it keeps per account, with
// the meaning of Windows' policy. Backends that count themselves keep a LogonTally per
// account and pass every logon attempt through count_attempt.
#pragma once

#include <cstdint>

namespace ostrel_posix {

struct LockoutPolicy {
  unsigned threshold = 0;          // wrong passwords before a lock; 0: never locked
  std::int64_t duration_s = 1800;  // how long a lock lasts; 0: until a set unlocks it
  std::int64_t window_s = 1800;    // a wrong password older than this no longer counts
};

LockoutPolicy lockout_policy();

/// Seconds since the epoch: the clock the tallies are kept by.
std::int64_t lockout_clock();

/// What is kept of an account's wrong passwords: how many in the current run, when the
/// last one came and when the account locked (0: it is not locked).
struct LogonTally {
  std::int64_t bad_count = 0;
  std::int64_t last_bad = 0;
  std::int64_t locked_since = 0;
  bool operator==(const LogonTally&) const = default;
};

/// True while tally locks the account at now.
bool tally_locked(const LogonTally& tally, std::int64_t now, const LockoutPolicy& policy);

enum class Attempt { accepted, refused, locked };

/// Applies one logon attempt at now to tally, which then holds what to keep. A locked
/// account refuses every password, the right one included, and counts the attempt; a
/// lock that has run out, and a count whose last wrong password is older than the window,
/// start again at 0; the right password clears the count; the wrong password that reaches
/// the threshold locks the account (and is itself answered as a wrong password).
Attempt count_attempt(LogonTally& tally, bool password_right, std::int64_t now,
                      const LockoutPolicy& policy);

}  // namespace ostrel_posix
