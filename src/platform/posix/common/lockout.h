// The account lockout policy and the counts of wrong passwords it keeps, with the meaning
// of Windows' policy, per account and per source of a login. Backends that count keep a
// LogonTally for the account (every counted wrong password, and the account's lock) and
// one per account and source (that source's wrong passwords, and its throttle), and pass
// every logon attempt through count_attempt.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace ostrel_posix {

struct LockoutPolicy {
  unsigned threshold = 0;          // wrong passwords of one source (or without a source)
                                   // before it is refused; 0: nothing is counted
  std::int64_t duration_s = 1800;  // how long a lock lasts; 0: until a set unlocks it
  std::int64_t window_s = 1800;    // a wrong password older than this no longer counts
  unsigned account_threshold = 0;  // all wrong passwords before the account locks
};

/// The policy in force, account_threshold resolved (ten times threshold, at most 100, when
/// the settings leave it 0).
LockoutPolicy lockout_policy();

/// Seconds since the epoch: the clock the tallies are kept by.
std::int64_t lockout_clock();

/// The longest source kept: what a pam_faillock record holds.
inline constexpr std::size_t kMaxSourceLength = 51;

/// The source of the logon under way on this thread, as it is counted: "" for none, an
/// IPv6 address as its /64 ("2001:db8:1:2::/64"), an IPv4-mapped one as IPv4, anything
/// else as written, at most kMaxSourceLength bytes.
const std::string& logon_source();

/// The counted form of an address as a mail server wrote it (see logon_source).
std::string source_key(std::string_view address);

/// Records why the logon under way was refused, for platform_last_logon_refusal.
void note_logon_refusal(LogonRefusal why);

/// What is kept of wrong passwords: how many in the current run, when the last one came
/// and when the lock began (0: not locked).
struct LogonTally {
  std::int64_t bad_count = 0;
  std::int64_t last_bad = 0;
  std::int64_t locked_since = 0;
  bool operator==(const LogonTally&) const = default;
};

/// True while tally locks at now.
bool tally_locked(const LogonTally& tally, std::int64_t now, const LockoutPolicy& policy);

enum class Attempt { accepted, refused, locked, throttled };

/// Applies one logon attempt at now. account is the account's tally; source that of the
/// attempt's source for this account, or null for an attempt without a source. stale tells
/// a wrong password that repeats one of the account's recent wrong passwords: it is
/// refused and counts nothing. A locked account refuses every password, the right one
/// included (locked); so does a throttled source (throttled), while other sources go on.
/// A lock that has run out, and a count whose last wrong password is older than the window,
/// start again at 0. The right password clears the count of its source (of the account,
/// without a source). A counted wrong password adds to its source and to the account;
/// the source that reaches the threshold is throttled, and the account locks when its
/// count reaches account_threshold (threshold, for a wrong password without a source).
Attempt count_attempt(LogonTally& account, LogonTally* source, bool password_right, bool stale,
                      std::int64_t now, const LockoutPolicy& policy);

/// The same for an attempt without a source and without the stale rule.
inline Attempt count_attempt(LogonTally& tally, bool password_right, std::int64_t now,
                             const LockoutPolicy& policy) {
  return count_attempt(tally, nullptr, password_right, false, now, policy);
}

/// The refusal an attempt's verdict is logged as (kNone for accepted).
LogonRefusal refusal_of(Attempt verdict);

/// The last few wrong passwords of an account, as keys that cost an offline attacker what
/// the account's own hash costs (the attempt hashed with the account's own salt and
/// parameters), never the password, each with the time it was last tried.
struct RecentWrong {
  std::string key;
  std::int64_t at = 0;
};
inline constexpr std::size_t kRecentWrongKept = 5;

/// True when key is one of recent within the window (then its time is now); otherwise key
/// is added. Entries older than the window go, and at most kRecentWrongKept stay, the
/// newest. An empty key is never stale and is not kept.
bool repeat_of_recent_wrong(std::vector<RecentWrong>& recent, const std::string& key,
                            std::int64_t now, const LockoutPolicy& policy);

}  // namespace ostrel_posix
