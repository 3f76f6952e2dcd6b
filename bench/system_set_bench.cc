// "set" of a new account on the host-account backend against the host's own tools doing
// the same on the same kind of scratch files: useradd --prefix, then chpasswd --root with
// yescrypt, one account at a time. Wall time per account; runs alternate; medians. The
// host's tools need root: without it the row is left out.
//
// Usage: system_set_bench [path-to-ostrel]
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "bench_util.h"

namespace {

constexpr int kSets = 20;
constexpr int kRounds = 5;

void fresh_files(const std::string& etc) {
  std::filesystem::create_directories(etc);
  bench::write_lines(etc + "/passwd", {"root:x:0:0:root:/root:/bin/sh"});
  bench::write_lines(etc + "/shadow", {"root:*:19000:0:99999:7:::"});
  bench::write_lines(etc + "/group", {"root:x:0:", "users:x:100:"});
  bench::write_lines(etc + "/gshadow", {"root:*::", "users:!::"});
  bench::write_lines(etc + "/login.defs", {"USERGROUPS_ENAB yes"});
}

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0) {
    std::printf("host accounts: set against useradd + chpasswd needs root; skipped\n");
    return 0;
  }
  const std::string ostrel = bench::ostrel_path(argc, argv);
  bench::WorkDir dir("system-set");
  const std::string ours = dir.file("ours"), theirs = dir.file("theirs");
  bench::write_lines(
      dir.file("ostrel.ini"),
      {"path " + dir.path, "log info", "account_db system", "group users",
       "password_file " + ours + "/etc/passwd", "shadow_file " + ours + "/etc/shadow"});
  std::vector<double> o, b;
  for (int round = 0; round < kRounds; ++round) {
    fresh_files(ours + "/etc");
    fresh_files(theirs + "/etc");
    std::vector<std::string> lines;
    for (int k = 0; k < kSets; ++k)
      lines.push_back("set user" + std::to_string(k) + " Pass#" + std::to_string(k));
    lines.push_back("quit");
    bench::write_lines(dir.file("sets.txt"), lines);
    const bench::Run ro = bench::run(dir.path, {ostrel}, dir.file("sets.txt"));
    if (ro.lines != kSets + 1) return 1;
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < kSets; ++k) {
      const std::string name = "user" + std::to_string(k);
      const std::string command = "/usr/sbin/useradd --prefix " + theirs + " -M -g users " + name +
                                  " && echo '" + name + ":Pass#" + std::to_string(k) +
                                  "' | /usr/sbin/chpasswd -R " + theirs + " -c YESCRYPT";
      if (std::system(command.c_str()) != 0) return 1;
    }
    const double tools =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.push_back(ro.seconds * 1000 / kSets);
    b.push_back(tools * 1000 / kSets);
  }
  const double mo = bench::median(o), mb = bench::median(b);
  std::printf("host accounts: set, %d new accounts per run, median of %d alternating runs\n", kSets,
              kRounds);
  bench::result("host accounts: set of a new account, against useradd + chpasswd",
                bench::number(mo, 2, " ms"), bench::number(mb, 2, " ms"),
                bench::number(mo / mb, 3, "x"), "-", "-");
  return 0;
}
