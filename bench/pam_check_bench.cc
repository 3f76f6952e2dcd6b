// pam_ostrel.so's check against ostrel's own check of the same account: a process that
// loads the module through PAM and authenticates kChecks times (this program, run with
// --drive), against ostrel in terminal mode answering kChecks check lines. As in
// check_bench, the measure is processor time: that of a run with kChecks + 1 checks less
// that of a run with one, per check. Runs alternate; the lowest of each side (see check_bench:
// the hash's cost varies from one process to the next).
//
// Usage: pam_check_bench [path-to-ostrel]
#include <cstring>

#include "bench_util.h"
#include "pam_answer.h"

namespace {

constexpr int kChecks = 8;
constexpr int kRounds = 15;

// pam_check_bench --drive <confdir> <count>: count logins of alice, one line each.
int drive(const char* confdir, int count) {
  char password[] = "s3cret";
  pam_conv conv{answer_password, password};
  for (int i = 0; i < count; ++i) {
    pam_handle_t* pamh = nullptr;
    if (pam_start_confdir("ostrel-bench", "alice", &conv, confdir, &pamh) != PAM_SUCCESS) return 1;
    const int rc = pam_authenticate(pamh, 0);
    pam_end(pamh, rc);
    std::printf("%s\n", rc == PAM_SUCCESS ? "+OK" : "-ERR");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--drive") == 0) return drive(argv[2], std::atoi(argv[3]));
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string self = bench::sibling("pam_check_bench");
  bench::WorkDir dir("pam-check");
  if (!bench::run(dir.path, {ostrel, "set", "alice", "s3cret"}).ok) return 1;
  const std::string confdir = dir.file("pam.d");
  std::filesystem::create_directory(confdir);
  bench::write_lines(confdir + "/ostrel-bench",
                     {std::string("auth required ") + OSTREL_PAM_MODULE + " path=" + dir.path});
  // The runs subtracted make one check, and the runs compared one more than kChecks, on
  // both sides: what a process does once (loading the module and its libraries, opening
  // the store) is then left out of the check's cost.
  std::vector<std::string> lines(kChecks + 1, "check alice s3cret");
  lines.push_back("quit");
  bench::write_lines(dir.file("checks.txt"), lines);
  bench::write_lines(dir.file("one.txt"), {"check alice s3cret", "quit"});
  const std::string count = std::to_string(kChecks + 1);

  std::vector<double> m, o;
  for (int round = 0; round < kRounds; ++round) {
    const bench::Run rm = bench::run(dir.path, {self, "--drive", confdir, count});
    const bench::Run ro = bench::run(dir.path, {ostrel}, dir.file("checks.txt"));
    const bench::Run sm = bench::run(dir.path, {self, "--drive", confdir, "1"});
    const bench::Run so = bench::run(dir.path, {ostrel}, dir.file("one.txt"));
    if (rm.lines != kChecks + 1 || ro.lines != kChecks + 2 || sm.lines != 1 || so.lines != 2)
      return 1;
    m.push_back((rm.cpu_seconds - sm.cpu_seconds) * 1000 / kChecks);
    o.push_back((ro.cpu_seconds - so.cpu_seconds) * 1000 / kChecks);
    std::printf("round %d: CPU time per check: module %.2f ms, ostrel %.2f ms\n", round + 1,
                m.back(), o.back());
  }
  const double mm = bench::lowest(m), mo = bench::lowest(o);
  bench::time_result("pam_ostrel.so check against ostrel's check (CPU time per check)",
                     bench::number(mm, 2, " ms"), bench::number(mo, 2, " ms"), mm / mo, 1.05);
  return 0;
}
