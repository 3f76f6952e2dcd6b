// Lookups per second in terminal mode: 100,000 "lookup" lines for accounts of a store of
// 100,000, fed to the built ostrel at log level INFO, against lookup_baseline twice: as a
// loop that only reads the line, writes the reply and the same number of log lines (each
// flushed), and with the same SQLite point lookup added. Runs alternate, each program
// taking the lead in turn. The row against the plain loop takes the fastest run of each;
// the goal's row, the median of the rounds' own ratios (see below).
//
// Usage: lookup_rate_bench [path-to-ostrel]
#include "bench_util.h"

namespace {

constexpr int kAccounts = 100000;
constexpr int kLookups = 100000;
constexpr int kRounds = 30;  // a multiple of three: each program leads as often

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string baseline = bench::sibling("lookup_baseline");
  bench::WorkDir dir("lookup");
  if (!bench::seed_store(dir.db, kAccounts)) {
    std::fprintf(stderr, "seeding failed\n");
    return 1;
  }
  std::vector<std::string> lines;
  unsigned state = 12345;
  for (int i = 0; i < kLookups; ++i) {
    state = state * 1103515245u + 12345u;
    lines.push_back("lookup " + bench::account_name(static_cast<int>((state >> 8) % kAccounts)));
  }
  lines.push_back("quit");
  const std::string input = dir.file("lookups.txt");
  bench::write_lines(input, lines);

  // How many log lines one lookup costs ostrel.
  const long per_lookup = bench::log_lines_of(ostrel, dir, "lookup " + bench::account_name(7));
  const std::string per = std::to_string(per_lookup);

  std::vector<double> o, io, sql;
  for (int round = 0; round < kRounds; ++round) {
    bench::Run ro, rio, rsql;
    for (int turn = 0; turn < 3; ++turn) {
      switch ((round + turn) % 3) {
        case 0:
          ro = bench::run(dir.path, {ostrel}, input);
          break;
        case 1:
          rio = bench::run(dir.path, {baseline, "-", dir.file("io.log"), per}, input);
          break;
        default:
          rsql = bench::run(dir.path, {baseline, dir.db, dir.file("sql.log"), per}, input);
          break;
      }
    }
    if (ro.lines != kLookups + 1 || rio.lines != kLookups + 1 || rsql.lines != kLookups + 1) {
      std::fprintf(stderr, "reply lines: %ld %ld %ld\n", ro.lines, rio.lines, rsql.lines);
      return 1;
    }
    o.push_back(kLookups / ro.seconds);
    io.push_back(kLookups / rio.seconds);
    sql.push_back(kLookups / rsql.seconds);
    std::printf("round %d: ostrel %.0f/s (max RSS %ld KB), I/O loop %.0f/s, with SQLite %.0f/s\n",
                round + 1, o.back(), ro.max_rss_kb, io.back(), sql.back());
  }
  const double mo = bench::highest(o), mio = bench::highest(io), msql = bench::highest(sql);
  // The three programs of a round run back to back: the goal's ratio is the median of the
  // rounds' own ratios, which a round that found the machine quiet for one program only
  // does not sway.
  std::vector<double> shares;
  for (std::size_t i = 0; i < o.size(); ++i) shares.push_back(o[i] / sql[i]);
  std::printf("%d lookups, %ld log lines per lookup (INFO)\n", kLookups, per_lookup);
  // The loop without SQLite shows what the lookup itself costs; the goal is against the
  // loop that does the same lookup.
  bench::result("lookups/s at INFO, against the I/O loop", bench::number(mo, 0, "/s"),
                bench::number(mio, 0, "/s"), bench::number(100 * mo / mio, 0, " %"), "-", "-");
  const double share = bench::median(shares);
  std::printf("fastest runs: ostrel %.0f/s, with SQLite %.0f/s (%.0f %%)\n", mo, msql,
              100 * mo / msql);
  bench::result("lookups/s at INFO, against I/O loop + SQLite lookup (median of the rounds)",
                bench::number(bench::median(o), 0, "/s"),
                bench::number(bench::median(sql), 0, "/s"), bench::number(100 * share, 0, " %"),
                ">= 95 %", share >= 0.95 ? "yes" : "no");
  return 0;
}
