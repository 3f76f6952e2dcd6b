// "check" on the host-account backend against one bare crypt_rn verify of the same
// yescrypt hash: ostrel in terminal mode answers kChecks check lines for one account of
// scratch account files; the baseline (system_check_baseline) verifies the stored hash
// once per line. Processor time of a run with the checks less that of a run with one,
// per check. Runs alternate; the lowest of each side (see check_bench: the hash's cost
// varies from one process to the next).
//
// Usage: system_check_bench [path-to-ostrel]
#include "bench_util.h"

namespace {

constexpr int kChecks = 8;
constexpr int kRounds = 15;

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string baseline = bench::sibling("system_check_baseline");
  bench::WorkDir dir("system-check");
  bench::write_lines(dir.file("passwd"), {"root:x:0:0:root:/root:/bin/sh"});
  bench::write_lines(dir.file("shadow"), {"root:*:19000:0:99999:7:::"});
  bench::write_lines(dir.file("group"), {"root:x:0:", "users:x:100:"});
  bench::write_lines(dir.file("ostrel.ini"),
                     {"path " + dir.path, "log info", "account_db system", "group users",
                      "password_file " + dir.file("passwd"), "shadow_file " + dir.file("shadow")});
  if (!bench::run(dir.path, {ostrel, "set", "alice", "s3cret"}).ok) return 1;
  std::string hash;
  {
    std::ifstream shadow(dir.file("shadow"));
    for (std::string line; std::getline(shadow, line);)
      if (line.rfind("alice:", 0) == 0) hash = line.substr(6, line.find(':', 6) - 6);
  }
  if (hash.rfind("$y$", 0) != 0) {
    std::fprintf(stderr, "no yescrypt hash stored\n");
    return 1;
  }
  bench::write_lines(dir.file("hash.txt"), {hash});
  // The runs compared have one check more than the runs subtracted: what is made once in a
  // process on its first check (ostrel's comparison hash for equal-cost refusals) counts
  // as start-up, on both sides.
  std::vector<std::string> lines(kChecks + 1, "check alice s3cret");
  lines.push_back("quit");
  bench::write_lines(dir.file("checks.txt"), lines);
  bench::write_lines(dir.file("none.txt"), {"check alice s3cret", "quit"});

  std::vector<double> o, b;
  for (int round = 0; round < kRounds; ++round) {
    const bench::Run ro = bench::run(dir.path, {ostrel}, dir.file("checks.txt"));
    const bench::Run rb =
        bench::run(dir.path, {baseline, dir.file("hash.txt"), "s3cret"}, dir.file("checks.txt"));
    const bench::Run so = bench::run(dir.path, {ostrel}, dir.file("none.txt"));
    const bench::Run sb =
        bench::run(dir.path, {baseline, dir.file("hash.txt"), "s3cret"}, dir.file("none.txt"));
    if (ro.lines != kChecks + 2 || rb.lines != kChecks + 2) return 1;
    o.push_back((ro.cpu_seconds - so.cpu_seconds) * 1000 / kChecks);
    b.push_back((rb.cpu_seconds - sb.cpu_seconds) * 1000 / kChecks);
  }
  const double mo = bench::lowest(o), mb = bench::lowest(b);
  std::printf("host accounts: check, %d per run, lowest of %d alternating runs: %s\n", kChecks,
              kRounds, hash.substr(0, hash.find('$', 4)).c_str());
  bench::time_result("host accounts: check (CPU time per command)", bench::number(mo, 2, " ms"),
                     bench::number(mb, 2, " ms"), mo / mb, 1.05);
  return 0;
}
