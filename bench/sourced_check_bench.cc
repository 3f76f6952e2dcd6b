// A right password checked with a source of the login and the lockout policy on (the
// account's and the source's counts read and cleared in one write transaction) against the
// same check without a source and without the policy, as a check costs where no lockout is
// set. Both in one process, interleaved, at the program's own hash cost; medians.
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench_util.h"
#include "platform/platform.h"

namespace {

constexpr int kChecks = 101;  // of each kind

}  // namespace

int main() {
  const bench::WorkDir dir("sourced");
  platform_set_account_db(dir.db.c_str());
  if (!bench::add_account(u"mailuser", u"Corr3ct-Horse")) return 1;
  PlatformLockoutPolicy on;
  on.threshold = 3;
  const PlatformLockoutPolicy off;
  std::vector<double> with_source, plain;
  bench::accepted_logon_ms(u"mailuser", u"Corr3ct-Horse");  // untimed: the store opens
  for (int i = 0; i < kChecks; ++i) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool sourced = (turn == 0) == (i % 2 == 0);
      platform_set_lockout_policy(sourced ? on : off);
      platform_set_logon_source(sourced ? "192.0.2.10" : nullptr);
      const double ms = bench::accepted_logon_ms(u"mailuser", u"Corr3ct-Horse");
      platform_set_logon_source(nullptr);
      if (ms < 0) {
        std::fprintf(stderr, "a right password was refused\n");
        return 1;
      }
      (sourced ? with_source : plain).push_back(ms);
    }
  }
  platform_close_store();
  const double ms = bench::median(with_source), base = bench::median(plain);
  std::printf(
      "accepted logon, median of %d interleaved each: with a source and lockout %.2f ms, "
      "without %.2f ms\n",
      kChecks, ms, base);
  bench::time_result("check with a source, lockout on, against check without (median)",
                     bench::number(ms, 2, " ms"), bench::number(base, 2, " ms"), ms / base, 1.05);
  return 0;
}
