// "set" of new accounts against one argon2id hash plus one synced SQLite transaction:
// ostrel in terminal mode answers kSets set lines (hash, account, group membership); the
// baseline (set_baseline) hashes and inserts each in its own committed transaction.
// Every round uses new names; runs alternate; medians per command.
//
// Usage: set_bench [path-to-ostrel]
#include "bench_util.h"

namespace {

constexpr int kSets = 10;
constexpr int kRounds = 5;

std::string set_lines(const bench::WorkDir& dir, int round) {
  std::vector<std::string> lines;
  for (int i = 0; i < kSets; ++i)
    lines.push_back("set r" + std::to_string(round) + "user" + std::to_string(i) + " pw" +
                    std::to_string(i) + "secret");
  lines.push_back("quit");
  const std::string path = dir.file(("sets" + std::to_string(round) + ".txt").c_str());
  bench::write_lines(path, lines);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string baseline = bench::sibling("set_baseline");
  bench::WorkDir dir("set");
  // A store of some size, as a mail host has.
  if (!bench::seed_store(dir.db, 10000)) return 1;
  const std::string baseline_db = dir.file("baseline.db");

  std::vector<double> o, b;
  for (int round = 0; round < kRounds; ++round) {
    const std::string input = set_lines(dir, round);
    const bench::Run ro = bench::run(dir.path, {ostrel}, input);
    const bench::Run rb = bench::run(dir.path, {baseline, baseline_db}, input);
    if (ro.lines != kSets + 1 || rb.lines != kSets + 1) return 1;
    o.push_back(ro.seconds * 1000 / kSets);
    b.push_back(rb.seconds * 1000 / kSets);
  }
  const double mo = bench::median(o), mb = bench::median(b);
  std::printf("set, %d new accounts per run, median of %d alternating runs\n", kSets, kRounds);
  bench::time_result("set of a new account (per command)", bench::number(mo, 2, " ms"),
                     bench::number(mb, 2, " ms"), mo / mb, 1.2);
  return 0;
}
