// Lookups per second in terminal mode: 100,000 "lookup" lines for accounts of a store of
// 100,000, fed to the built ostrel at log level INFO, against lookup_baseline_bench, which
// does the same point lookup and writes the same number of reply and log lines with
// nothing else around them.
//
// Usage: lookup_rate_bench [path-to-ostrel [path-to-lookup_baseline_bench]]
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "platform/posix/bulk.h"

namespace {

constexpr int kAccounts = 100000;
constexpr int kLookups = 100000;

std::filesystem::path self_dir() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  return std::filesystem::path(self).parent_path();
}

std::string account_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "%cuser%06d", 'a' + i % 26, i);
  return name;
}

bool seed_store(const std::string& db) {
  platform_set_account_db(db.c_str());
  constexpr int kChunk = 10000;
  for (int start = 0; start < kAccounts; start += kChunk) {
    std::vector<WideBuffer> texts;
    std::vector<USER_INFO_1> records(kChunk);
    for (int k = 0; k < kChunk; ++k) {
      const std::string name = account_name(start + k);
      const std::string home = "/srv/mail/" + name;
      texts.push_back(to_wide(name.c_str()));
      records[k].usri1_name = texts.back().get();
      texts.push_back(to_wide(home.c_str()));
      records[k].usri1_home_dir = texts.back().get();
      texts.push_back(to_wide("Ostrel 1.0g user"));
      records[k].usri1_comment = texts.back().get();
      records[k].usri1_priv = USER_PRIV_USER;
      records[k].usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
    }
    if (ostrel_posix::bulk_add_accounts(records.data(), records.size()) != 0) return false;
  }
  platform_close_store();
  return true;
}

struct RunResult {
  double seconds = 0;
  long lines = 0;
  long max_rss_kb = 0;
  bool ok = false;
};

// Runs a program in dir with standard input from a file, counting its output lines.
RunResult run(const std::string& dir, const std::vector<std::string>& argv_words,
              const std::string& input) {
  RunResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    const int in = open(input.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (const auto& w : argv_words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  char buffer[65536];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < got; ++i) result.lines += buffer[i] == '\n';
  }
  close(out[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.max_rss_kb = usage.ru_maxrss;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

long count_lines(const std::string& path) {
  std::ifstream in(path);
  long n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel =
      std::filesystem::absolute(argc > 1 ? argv[1] : (self_dir().parent_path() / "ostrel"))
          .string();
  const std::string baseline =
      std::filesystem::absolute(argc > 2 ? argv[2] : (self_dir() / "lookup_baseline_bench"))
          .string();
  if (access(ostrel.c_str(), X_OK) != 0 || access(baseline.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "need %s and %s\n", ostrel.c_str(), baseline.c_str());
    return 1;
  }
  char pattern[] = "/tmp/ostrel-lookup-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  const std::string db = dir + "/ostrel.db";
  {
    std::ofstream ini(dir + "/ostrel.ini");
    ini << "path " << dir << "\nlog info\naccount_db " << db << "\n";
  }
  // Seeded by a child, so that this process stays small for the children's ru_maxrss.
  const pid_t seeder = fork();
  if (seeder == 0) _exit(seed_store(db) ? 0 : 1);
  int seeded = 1;
  waitpid(seeder, &seeded, 0);
  if (!WIFEXITED(seeded) || WEXITSTATUS(seeded) != 0) {
    std::fprintf(stderr, "seeding failed\n");
    return 1;
  }

  const std::string input = dir + "/lookups.txt";
  {
    std::ofstream lines(input);
    unsigned state = 12345;
    for (int i = 0; i < kLookups; ++i) {
      state = state * 1103515245u + 12345u;
      lines << "lookup " << account_name(static_cast<int>((state >> 8) % kAccounts)) << "\n";
    }
    lines << "quit\n";
  }

  // How many log lines one lookup costs ostrel, from a run of a single lookup.
  const std::string one = dir + "/one.txt";
  {
    std::ofstream lines(one);
    lines << "lookup " << account_name(7) << "\nquit\n";
  }
  const long before = count_lines(dir + "/ostrel.log");
  run(dir, {ostrel}, one);
  const long startup = count_lines(dir + "/ostrel.log") - before;
  // start line, lookup lines, "Performing exit", "+OK", end line
  const long per_lookup = startup - 4;

  const RunResult o = run(dir, {ostrel}, input);
  const RunResult b =
      run(dir, {baseline, "--serve", db, dir + "/baseline.log", std::to_string(per_lookup)}, input);
  const double o_rate = kLookups / o.seconds;
  const double b_rate = kLookups / b.seconds;
  std::printf("%d lookups, %ld log lines per lookup (INFO)\n", kLookups, per_lookup);
  std::printf("%-10s %9s %9s %12s %13s\n", "program", "lines", "seconds", "lookups/s",
              "max RSS (KB)");
  std::printf("%-10s %9ld %9.3f %12.0f %13ld%s\n", "ostrel", o.lines, o.seconds, o_rate,
              o.max_rss_kb, o.ok ? "" : "  (exit status not 0)");
  std::printf("%-10s %9ld %9.3f %12.0f %13ld%s\n", "baseline", b.lines, b.seconds, b_rate,
              b.max_rss_kb, b.ok ? "" : "  (exit status not 0)");
  std::printf("ostrel / baseline: %.2f of the baseline rate\n", o_rate / b_rate);
  std::filesystem::remove_all(dir);
  return 0;
}
