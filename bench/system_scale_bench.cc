// The host-account backend at scale: scratch passwd and shadow files of 100,000 accounts
// and of 1,000 (every one with the same yescrypt hash), the built ostrel at log level
// ERROR, lookup and check per command against system_lookup_baseline (getpwnam and
// getspnam on the same files, and crypt for check). Processor time of a run of commands
// less that of a run of one (which counts what a process makes once, such as ostrel's
// comparison hash for refusals, as start-up, on both sides). Runs alternate; the lowest
// of each side (the work is all computation: other load only ever slows a run).
//
// Usage: system_scale_bench [path-to-ostrel]
#include "bench_util.h"

namespace {

constexpr int kRounds = 9;
constexpr int kChecks = 8;

struct Files {
  int accounts;
  int lookups;  // per run: about as long at either size
  bench::WorkDir dir;
  Files(int n, int l, const char* tag) : accounts(n), lookups(l), dir(tag, "error") {}
};

std::string user(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "user%06d", i);
  return name;
}

bool write_files(Files& f, const std::string& ostrel) {
  const auto& d = f.dir;
  bench::write_lines(d.file("passwd"), {"root:x:0:0:root:/root:/bin/sh"});
  bench::write_lines(d.file("shadow"), {"root:*:19000:0:99999:7:::"});
  bench::write_lines(d.file("group"), {"root:x:0:", "users:x:100:"});
  // A managed range that holds every account of the files.
  bench::write_lines(d.file("login.defs"), {"UID_MIN 1000", "UID_MAX 200000"});
  bench::write_lines(d.file("ostrel.ini"),
                     {"path " + d.path, "log error", "account_db system", "group users",
                      "password_file " + d.file("passwd"), "shadow_file " + d.file("shadow")});
  if (!bench::run(d.path, {ostrel, "set", "alice", "s3cret"}).ok) return false;
  std::vector<std::string> passwd, shadow;
  std::string hash;
  {
    std::ifstream in(d.file("passwd"));
    for (std::string line; std::getline(in, line);) passwd.push_back(line);
  }
  {
    std::ifstream in(d.file("shadow"));
    for (std::string line; std::getline(in, line);) {
      shadow.push_back(line);
      if (line.rfind("alice:", 0) == 0) hash = line.substr(6, line.find(':', 6) - 6);
    }
  }
  if (hash.rfind("$y$", 0) != 0) return false;
  // alice, then the rest; the accounts looked up are spread over the whole file.
  for (int i = 0; i < f.accounts - 1; ++i) {
    passwd.push_back(user(i) + ":x:" + std::to_string(2000 + i) + ":100:Mail user:/srv/mail/" +
                     user(i) + ":/usr/sbin/nologin");
    shadow.push_back(user(i) + ":" + hash + ":19000:0:99999:7:::");
  }
  bench::write_lines(d.file("passwd"), passwd);
  bench::write_lines(d.file("shadow"), shadow);
  return true;
}

std::string commands(const Files& f, const char* name, int count, bool check) {
  std::vector<std::string> lines;
  unsigned state = 777;
  for (int i = 0; i < count; ++i) {
    state = state * 1103515245u + 12345u;
    const std::string who = user(static_cast<int>((state >> 8) % (f.accounts - 1)));
    lines.push_back(check ? "check " + who + " s3cret" : "lookup " + who);
  }
  lines.push_back("quit");
  bench::write_lines(f.dir.file(name), lines);
  return f.dir.file(name);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string baseline = bench::sibling("system_lookup_baseline");
  Files small(1000, 4000, "sysscale-small"), large(100000, 200, "sysscale-large");
  Files* sides[2] = {&small, &large};
  for (Files* f : sides)
    if (!write_files(*f, ostrel)) {
      std::fprintf(stderr, "writing the account files failed\n");
      return 1;
    }
  // Per side and size: ms per lookup and per check, ostrel and baseline.
  std::vector<double> lookup_o[2], lookup_b[2], check_o[2], check_b[2];
  for (int round = 0; round < kRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const int k = (round + turn) % 2;
      const Files& f = *sides[k];
      const std::string lookups = commands(f, "lookups.txt", f.lookups + 1, false);
      const std::string one_lookup = commands(f, "one-lookup.txt", 1, false);
      const std::string checks = commands(f, "checks.txt", kChecks + 1, true);
      const std::string one_check = commands(f, "one-check.txt", 1, true);
      const std::vector<std::string> base = {baseline, f.dir.file("passwd"), f.dir.file("shadow")};
      for (int side = 0; side < 2; ++side) {
        const bool own = (side + round) % 2 == 0;
        const std::vector<std::string> program = own ? std::vector<std::string>{ostrel} : base;
        const bench::Run l = bench::run(f.dir.path, program, lookups);
        const bench::Run l1 = bench::run(f.dir.path, program, one_lookup);
        const bench::Run c = bench::run(f.dir.path, program, checks);
        const bench::Run c1 = bench::run(f.dir.path, program, one_check);
        if (l.lines != f.lookups + 2 || c.lines != kChecks + 2) {
          std::fprintf(stderr, "%s: %ld and %ld reply lines\n", own ? "ostrel" : "baseline",
                       l.lines, c.lines);
          return 1;
        }
        (own ? lookup_o : lookup_b)[k].push_back((l.cpu_seconds - l1.cpu_seconds) * 1000 /
                                                 f.lookups);
        (own ? check_o : check_b)[k].push_back((c.cpu_seconds - c1.cpu_seconds) * 1000 / kChecks);
      }
    }
    std::printf(
        "round %d: lookup %.3f / %.3f ms (100,000), %.4f / %.4f ms (1,000); check %.2f /"
        " %.2f ms (100,000), %.2f / %.2f ms (1,000)\n",
        round + 1, lookup_o[1].back(), lookup_b[1].back(), lookup_o[0].back(), lookup_b[0].back(),
        check_o[1].back(), check_b[1].back(), check_o[0].back(), check_b[0].back());
  }
  const char* size_names[2] = {"1,000", "100,000"};
  for (int k = 0; k < 2; ++k) {
    const double o = bench::lowest(lookup_o[k]), b = bench::lowest(lookup_b[k]);
    bench::time_result(std::string("host accounts, ") + size_names[k] +
                           " lines: lookup, against getpwnam + getspnam (CPU time per command)",
                       bench::number(o * 1000, 1, " us"), bench::number(b * 1000, 1, " us"), o / b,
                       1.10);
  }
  for (int k = 0; k < 2; ++k) {
    const double o = bench::lowest(check_o[k]), b = bench::lowest(check_b[k]);
    bench::time_result(std::string("host accounts, ") + size_names[k] +
                           " lines: check, against getpwnam + getspnam + crypt (CPU time per "
                           "command)",
                       bench::number(o, 2, " ms"), bench::number(b, 2, " ms"), o / b, 1.10);
  }
  return 0;
}
