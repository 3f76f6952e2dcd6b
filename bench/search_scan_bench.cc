// Search over a large account store: the built ostrel runs "search *" and "search a*" in
// command-line mode at log level INFO against stores of 10,000, 100,000 and 300,000
// accounts. For each run: the wall time, the lines listed, and the child's peak resident
// memory (ru_maxrss), which should not grow with the number of accounts (one enumeration
// batch at a time); "version" shows the size of a run that touches no account.
//
// Usage: search_scan_bench [path-to-ostrel]   (default: ../ostrel beside this program)
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

std::string default_ostrel() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "ostrel";
  self[n] = '\0';
  return (std::filesystem::path(self).parent_path().parent_path() / "ostrel").string();
}

// Account i: names spread over the 26 lower-case initials, a home and a comment each.
std::string account_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "%cuser%06d", 'a' + i % 26, i);
  return name;
}

bool seed_store(const std::string& db, int count) {
  platform_close_store();
  platform_set_account_db(db.c_str());
  constexpr int kChunk = 10000;
  for (int start = 0; start < count; start += kChunk) {
    const int n = std::min(kChunk, count - start);
    std::vector<WideBuffer> texts;
    std::vector<USER_INFO_1> records(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
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
    const DWORD rc = ostrel_posix::bulk_add_accounts(records.data(), records.size());
    if (rc != 0) {
      std::fprintf(stderr, "seeding failed with %d\n", static_cast<int>(rc));
      return false;
    }
  }
  platform_close_store();
  return true;
}

struct RunResult {
  double seconds = 0;
  long max_rss_kb = 0;
  long lines = 0;
  bool ok = false;
};

// Runs ostrel with args in dir, reading its standard output through a pipe.
RunResult run_ostrel(const std::string& ostrel, const std::string& dir,
                     const std::vector<std::string>& args) {
  RunResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ostrel.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ostrel.c_str(), argv.data());
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

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel =
      std::filesystem::absolute(argc > 1 ? argv[1] : default_ostrel()).string();
  if (access(ostrel.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "no ostrel at %s\n", ostrel.c_str());
    return 1;
  }
  platform_set_hash_limits_for_tests(1, 8192);
  std::printf("%-9s %-8s %9s %9s %12s %13s\n", "accounts", "pattern", "lines", "seconds", "lines/s",
              "max RSS (KB)");
  for (const int count : {10000, 100000, 300000}) {
    char pattern[] = "/tmp/ostrel-search-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    {
      std::ofstream ini(dir + "/ostrel.ini");
      ini << "path " << dir << "\nlog info\naccount_db " << dir << "/ostrel.db\n";
    }
    // Seeded by a child, so that this process stays small: a child's ru_maxrss counts the
    // memory it had before its exec, which is a copy of this one.
    const pid_t seeder = fork();
    if (seeder == 0) _exit(seed_store(dir + "/ostrel.db", count) ? 0 : 1);
    int seeded = 1;
    waitpid(seeder, &seeded, 0);
    if (!WIFEXITED(seeded) || WEXITSTATUS(seeded) != 0) return 1;
    const RunResult base = run_ostrel(ostrel, dir, {"version"});
    std::printf("%-9d %-8s %9ld %9.3f %12s %13ld\n", count, "version", base.lines, base.seconds,
                "-", base.max_rss_kb);
    for (const char* p : {"*", "a*"}) {
      const RunResult r = run_ostrel(ostrel, dir, {"search", p});
      std::printf("%-9d %-8s %9ld %9.3f %12.0f %13ld%s\n", count, p, r.lines, r.seconds,
                  r.lines / r.seconds, r.max_rss_kb, r.ok ? "" : "  (exit status not 0)");
    }
    std::filesystem::remove_all(dir);
  }
  return 0;
}
