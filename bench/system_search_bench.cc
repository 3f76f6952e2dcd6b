// "search *" on the host-account backend against the store's "search *" of as many
// accounts: the built ostrel runs the command on the command line, once on scratch
// passwd/shadow files of 12,500 and 50,000 accounts (a home and a comment each), once on
// a store of 50,000. Wall time; runs alternate; medians. The listing must cost what
// reading the files costs: within 2x of the store, and 4x the accounts at most 4.4x the
// time.
//
// Usage: system_search_bench [path-to-ostrel]
#include "bench_util.h"

namespace {

constexpr int kRounds = 5;
constexpr int kSmall = 12500, kLarge = 50000;

// A work directory whose settings serve count host accounts from its scratch files.
void write_host_accounts(const bench::WorkDir& dir, int count) {
  std::vector<std::string> passwd, shadow;
  for (int i = 0; i < count; ++i) {
    const std::string name = bench::account_name(i);
    passwd.push_back(name + ":x:" + std::to_string(10000 + i) + ":100:Ostrel 1.0g user:/srv/mail/" +
                     name + ":/usr/sbin/nologin");
    shadow.push_back(name + ":!:19000:0:99999:7:::");
  }
  bench::write_lines(dir.file("passwd"), passwd);
  bench::write_lines(dir.file("shadow"), shadow);
  bench::write_lines(dir.file("group"), {"users:x:100:"});
  bench::write_lines(dir.file("login.defs"), {"UID_MIN 10000", "UID_MAX 99999"});
  bench::write_lines(dir.file("ostrel.ini"),
                     {"path " + dir.path, "log info", "account_db system",
                      "password_file " + dir.file("passwd"), "shadow_file " + dir.file("shadow")});
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  bench::WorkDir small("system-search-small"), large("system-search-large"), store("search");
  write_host_accounts(small, kSmall);
  write_host_accounts(large, kLarge);
  if (!bench::seed_store(store.db, kLarge)) {
    std::fprintf(stderr, "seeding failed\n");
    return 1;
  }
  std::vector<double> ts, tl, tstore;
  for (int round = 0; round < kRounds; ++round) {
    const bench::Run rs = bench::run(small.path, {ostrel, "search", "*"});
    const bench::Run rl = bench::run(large.path, {ostrel, "search", "*"});
    const bench::Run rd = bench::run(store.path, {ostrel, "search", "*"});
    if (!rs.ok || !rl.ok || !rd.ok || rs.lines != kSmall + 1 || rl.lines != kLarge + 1 ||
        rd.lines != kLarge + 1) {
      std::fprintf(stderr, "search: %ld, %ld and %ld lines\n", rs.lines, rl.lines, rd.lines);
      return 1;
    }
    ts.push_back(rs.seconds);
    tl.push_back(rl.seconds);
    tstore.push_back(rd.seconds);
  }
  const double ms = bench::median(ts), ml = bench::median(tl), md = bench::median(tstore);
  std::printf("host accounts search *: %d accounts %.3f s, %d accounts %.3f s; store %d %.3f s\n",
              kSmall, ms, kLarge, ml, kLarge, md);
  bench::time_result(
      "host accounts: search \"*\", 50,000 accounts, against the store's (wall time)",
      bench::number(ml, 3, " s"), bench::number(md, 3, " s"), ml / md, 2.0);
  bench::time_result("host accounts: search \"*\", 50,000 against 12,500 accounts (wall time)",
                     bench::number(ml, 3, " s"), bench::number(ms, 3, " s"), ml / ms, 4.4);
  return 0;
}
