// Start-up to the first reply: "ostrel version" on the command line, in a work directory
// with its settings and log, against startup_baseline (a C program with the same
// libraries that reads a small ini and appends the same four log lines). Runs alternate;
// medians.
//
// Usage: startup_bench [path-to-ostrel]
#include "bench_util.h"

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string baseline = bench::sibling("startup_baseline");
  bench::WorkDir dir("startup");
  constexpr int kRuns = 41;
  std::vector<double> o, b;
  for (int i = 0; i < kRuns; ++i) {
    const bench::Run ro = bench::run(dir.path, {ostrel, "version"});
    const bench::Run rb = bench::run(dir.path, {baseline});
    if (!ro.ok || !rb.ok || ro.lines != 1 || rb.lines != 1) return 1;
    o.push_back(ro.seconds * 1000);
    b.push_back(rb.seconds * 1000);
  }
  const double mo = bench::median(o), mb = bench::median(b);
  std::printf("start-up, median of %d alternating runs: ostrel %.3f ms, baseline %.3f ms\n", kRuns,
              mo, mb);
  bench::time_result("start-up to first reply (\"version\")", bench::number(mo, 2, " ms"),
                     bench::number(mb, 2, " ms"), mo / mb, 1.2);
  return 0;
}
