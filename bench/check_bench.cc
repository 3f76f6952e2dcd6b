// "check" against one bare crypto_pwhash_str_verify at the same limits (the program's
// defaults): ostrel in terminal mode answers kChecks check lines for one account; the
// baseline (check_baseline) verifies the same stored hash text once per line. The work is
// all computation, so the measure is processor time, which a busy shared machine disturbs
// less than the wall time: that of a run with the checks less that of a run without any
// (start-up and end), per check. Runs alternate; the lowest of each side. The hash's cost
// varies from one process to the next (by up to half on some processors, with where the
// stack and the hash memory happen to fall), so many short runs are taken and a median of
// a few would mostly show which runs were unlucky.
//
// Usage: check_bench [path-to-ostrel]
#include <sqlite3.h>

#include "bench_util.h"

namespace {

constexpr int kChecks = 8;
constexpr int kRounds = 15;

std::string stored_hash(const std::string& db) {
  sqlite3* handle = nullptr;
  std::string hash;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(handle, "SELECT password_hash FROM accounts WHERE name_key = 'ALICE'", -1,
                       &stmt, nullptr);
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
      hash = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(handle);
  return hash;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string baseline = bench::sibling("check_baseline");
  bench::WorkDir dir("check");
  if (!bench::run(dir.path, {ostrel, "set", "alice", "s3cret"}).ok) return 1;
  const std::string hash = stored_hash(dir.db);
  if (hash.empty()) {
    std::fprintf(stderr, "no stored hash\n");
    return 1;
  }
  bench::write_lines(dir.file("hash.txt"), {hash});
  std::vector<std::string> lines(kChecks, "check alice s3cret");
  lines.push_back("quit");
  bench::write_lines(dir.file("checks.txt"), lines);
  bench::write_lines(dir.file("none.txt"), {"quit"});

  std::vector<double> o, b;
  for (int round = 0; round < kRounds; ++round) {
    const bench::Run ro = bench::run(dir.path, {ostrel}, dir.file("checks.txt"));
    const bench::Run rb =
        bench::run(dir.path, {baseline, dir.file("hash.txt"), "s3cret"}, dir.file("checks.txt"));
    const bench::Run so = bench::run(dir.path, {ostrel}, dir.file("none.txt"));
    const bench::Run sb =
        bench::run(dir.path, {baseline, dir.file("hash.txt"), "s3cret"}, dir.file("none.txt"));
    if (ro.lines != kChecks + 1 || rb.lines != kChecks + 1) return 1;
    o.push_back((ro.cpu_seconds - so.cpu_seconds) * 1000 / kChecks);
    b.push_back((rb.cpu_seconds - sb.cpu_seconds) * 1000 / kChecks);
    std::printf("round %d: CPU time per check: ostrel %.2f ms, baseline %.2f ms\n", round + 1,
                o.back(), b.back());
  }
  const double mo = bench::lowest(o), mb = bench::lowest(b);
  std::printf("check, %d per run, lowest of %d alternating runs: %s\n", kChecks, kRounds,
              hash.substr(0, hash.find('$', 12)).c_str());
  bench::time_result("check (CPU time per command)", bench::number(mo, 2, " ms"),
                     bench::number(mb, 2, " ms"), mo / mb, 1.05);
  return 0;
}
