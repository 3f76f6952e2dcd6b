// Refused logons at the real hash cost, each timed on its own and interleaved in pairs:
// an unknown user against a known user with a wrong password, with the lockout policy off
// and on, and a locked account against a wrong password with the policy on. Prints the
// medians and their ratios. Each pair must be equal within noise, or the time of a
// refusal tells which names exist, or which accounts are locked.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/platform.h"

namespace {

constexpr int kAttempts = 201;  // of each kind, per pair

using bench::refused_logon_ms;

using bench::add_account;

struct Kind {
  std::u16string user;  // a letter is added per attempt when vary_user
  bool vary_user;
  DWORD expected;
  const char* source = nullptr;  // of the login; null: none
};

std::u16string letter(int i) {
  return std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
}

// Times kAttempts of each kind, interleaved, the order alternating; false on a logon that
// was not refused as expected.
bool time_pair(const Kind& a, const Kind& b, std::vector<double>& ta, std::vector<double>& tb) {
  auto attempt = [](const Kind& k, int i) {
    platform_set_logon_source(k.source);
    const double ms = refused_logon_ms(k.vary_user ? k.user + letter(i) : k.user,
                                       u"guess" + letter(i), k.expected);
    platform_set_logon_source(nullptr);
    return ms;
  };
  attempt(a, 0);  // untimed: the store opens and the fixed comparison hash is made
  attempt(b, 0);
  for (int i = 0; i < kAttempts; ++i) {
    const double first = i % 2 ? attempt(b, i) : attempt(a, i);
    const double second = i % 2 ? attempt(a, i) : attempt(b, i);
    const double x = i % 2 ? second : first, y = i % 2 ? first : second;
    if (x < 0 || y < 0) return false;
    ta.push_back(x);
    tb.push_back(y);
  }
  return true;
}

void report(const char* what, const char* first, const char* second, std::vector<double>& ta,
            std::vector<double>& tb) {
  const double ma = bench::median(ta), mb = bench::median(tb);
  const double ratio = ma / mb;
  std::printf("%s, median of %d interleaved each: %s %.2f ms, %s %.2f ms, ratio %.3f\n", what,
              kAttempts, first, ma, second, mb, ratio);
  // The baseline column is the wrong password: the ratio must stay within noise of 1.
  bench::equal_cost_result(what, ma, mb);
}

}  // namespace

int main() {
  const bench::WorkDir dir("logon");
  platform_set_account_db(dir.db.c_str());
  if (!add_account(u"mailuser", u"Corr3ct-Horse") || !add_account(u"lockeduser", u"Secr3t")) {
    std::fprintf(stderr, "could not add the accounts\n");
    return 1;
  }
  const Kind unknown{u"nobody", true, ERROR_LOGON_FAILURE};
  const Kind wrong{u"mailuser", false, ERROR_LOGON_FAILURE};
  const Kind locked{u"lockeduser", false, ERROR_ACCOUNT_LOCKED_OUT};

  std::vector<double> u0, w0, u1, w1, l1, w2;
  bool ok = time_pair(unknown, wrong, u0, w0);
  // The policy on: every refusal is counted. The threshold is out of reach for mailuser
  // (its count is cleared before each pair), lockeduser is locked at its first try.
  PlatformLockoutPolicy policy;
  policy.threshold = 999;
  platform_set_lockout_policy(policy);
  HANDLE token = nullptr;
  auto clear_count = [&token] {
    if (LogonUserW(u"mailuser", nullptr, u"Corr3ct-Horse", LOGON32_LOGON_INTERACTIVE,
                   LOGON32_PROVIDER_DEFAULT, &token))
      CloseHandle(token);
  };
  clear_count();
  ok = ok && time_pair(unknown, wrong, u1, w1);
  policy.threshold = 1;
  platform_set_lockout_policy(policy);
  ok = ok && refused_logon_ms(u"lockeduser", u"guess", ERROR_LOGON_FAILURE) >= 0;
  policy.threshold = 999;  // the lock stands; mailuser stays below the threshold
  platform_set_lockout_policy(policy);
  clear_count();
  ok = ok && time_pair(locked, wrong, l1, w2);
  // A source throttled for lockeduser's neighbour: one wrong password at threshold 1
  // throttles it, and the throttle stands when the threshold is raised again.
  std::vector<double> t1, w3;
  ok = ok && add_account(u"throttleduser", u"Secr3t");
  const Kind throttled{u"throttleduser", false, ERROR_ACCOUNT_LOCKED_OUT, "192.0.2.20"};
  const Kind wrong_sourced{u"mailuser", false, ERROR_LOGON_FAILURE, "192.0.2.21"};
  policy.threshold = 1;
  platform_set_lockout_policy(policy);
  platform_set_logon_source(throttled.source);
  ok = ok && refused_logon_ms(u"throttleduser", u"guess", ERROR_LOGON_FAILURE) >= 0;
  platform_set_logon_source(nullptr);
  policy.threshold = 999;
  platform_set_lockout_policy(policy);
  clear_count();
  ok = ok && time_pair(throttled, wrong_sourced, t1, w3);
  platform_close_store();
  if (!ok) {
    std::fprintf(stderr, "a logon was not refused as expected\n");
    return 1;
  }
  report("refused logon: unknown user against wrong password (median)", "unknown user",
         "wrong password", u0, w0);
  report("refused logon, lockout on: unknown user against wrong password (median)", "unknown user",
         "wrong password", u1, w1);
  report("refused logon, lockout on: locked account against wrong password (median)",
         "locked account", "wrong password", l1, w2);
  report("refused logon, lockout on: throttled source against wrong password (median)",
         "throttled source", "wrong password", t1, w3);
  return 0;
}
