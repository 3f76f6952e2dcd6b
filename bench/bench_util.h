// What the benchmark programs share: child processes timed with their peak memory, a
// scratch work directory with a settings file, a seeded store, medians, and the result
// lines that bench/run gathers into its table.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "platform/posix/store/bulk.h"

namespace bench {

/// The directory of this program (build-bench/bench).
inline std::filesystem::path self_dir() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  return std::filesystem::path(self).parent_path();
}

/// The built ostrel beside the bench folder, or the first argument.
inline std::string ostrel_path(int argc, char** argv) {
  const std::filesystem::path path =
      argc > 1 ? std::filesystem::path(argv[1]) : self_dir().parent_path() / "ostrel";
  return std::filesystem::absolute(path).string();
}

/// A program built beside this one.
inline std::string sibling(const char* name) {
  return (self_dir() / name).string();
}

/// A scratch directory under /tmp with an ostrel.ini (log level INFO, the store inside
/// it), removed with everything in it at the end.
struct WorkDir {
  std::string path;
  std::string db;
  explicit WorkDir(const char* tag, const char* level = "info") {
    std::string pattern = std::string("/tmp/ostrel-") + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    path = pattern;
    db = path + "/ostrel.db";
    std::ofstream ini(path + "/ostrel.ini");
    ini << "path " << path << "\nlog " << level << "\naccount_db " << db << "\n";
  }
  ~WorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  std::string file(const char* name) const { return path + "/" + name; }
};

/// Account i of a seeded store: names spread over the 26 lower-case initials.
inline std::string account_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "%cuser%06d", 'a' + i % 26, i);
  return name;
}

/// Adds accounts [0, count) without passwords, a home and a comment each, through the
/// bulk path. Done in a child process, so that this one stays small: a child's peak
/// memory counts what it had before its exec, a copy of this process.
inline bool seed_store(const std::string& db, int count) {
  const pid_t pid = fork();
  if (pid == 0) {
    platform_set_account_db(db.c_str());
    constexpr int kChunk = 10000;
    for (int start = 0; start < count; start += kChunk) {
      const int n = std::min(kChunk, count - start);
      std::vector<WideBuffer> texts;
      std::vector<USER_INFO_1> records(static_cast<std::size_t>(n));
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
      if (ostrel_posix::bulk_add_accounts(records.data(), records.size()) != 0) _exit(1);
    }
    platform_close_store();
    _exit(0);
  }
  int status = 1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Run {
  double seconds = 0;
  double cpu_seconds = 0;  // user and system time of the child
  long max_rss_kb = 0;
  long lines = 0;  // lines of standard output
  bool ok = false;
};

/// Runs argv[0] with argv in dir, standard input from the file input ("" for /dev/null),
/// counting the lines it writes; the wall time covers fork to reaped exit.
inline Run run(const std::string& dir, const std::vector<std::string>& argv_words,
               const std::string& input = "") {
  Run result;
  int out[2];
  if (pipe(out) != 0) return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    const int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
    if (in < 0) _exit(127);
    dup2(in, 0);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char*> words;
    for (const auto& w : argv_words) words.push_back(const_cast<char*>(w.c_str()));
    words.push_back(nullptr);
    execv(words[0], words.data());
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
  result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.max_rss_kb = usage.ru_maxrss;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!result.ok) std::fprintf(stderr, "%s ended with status %d\n", argv_words[0].c_str(), status);
  return result;
}

/// For a bench's "--peak FILE PROGRAM [ARGS...]" mode: runs PROGRAM with this process's
/// input and output and writes its peak resident memory (KB) into FILE; returns its exit
/// status. A forked child's peak counts the memory it had before its exec, a copy of the
/// bench with all it holds; this process, freshly started, is small, and so is its child.
inline int spawn_for_peak(char** words) {
  const pid_t pid = fork();
  if (pid == 0) {
    execv(words[1], words + 1);
    _exit(127);
  }
  int status = 1;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 1;
  std::ofstream(words[0]) << usage.ru_maxrss << "\n";
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

/// run, through self's "--peak" mode (spawn_for_peak), so that max_rss_kb is the program's
/// own peak, not the bench's.
inline Run run_for_peak(const std::string& self, const std::string& dir,
                        std::vector<std::string> argv_words, const std::string& input = "") {
  const std::string file = dir + "/peak-rss.txt";
  argv_words.insert(argv_words.begin(), {self, "--peak", file});
  Run result = run(dir, argv_words, input);
  std::ifstream in(file);
  long kb = 0;
  result.max_rss_kb = in >> kb ? kb : 0;
  if (kb == 0) result.ok = false;
  return result;
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

/// The smallest of values: for work that is all computation, what other load adds only
/// ever makes a run slower, so the fastest run is the cost of the work itself.
inline double lowest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

/// The largest of values: the fastest of rates, for the same reason.
inline double highest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

/// Writes lines to a file, replacing it.
inline void write_lines(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path);
  for (const auto& line : lines) out << line << "\n";
}

/// The log lines ostrel writes for one command (its reply lines among them), from a run of
/// that command alone in dir: all the run adds to dir's log but the start line,
/// "Performing exit", "+OK" and the end line.
inline long log_lines_of(const std::string& ostrel, const WorkDir& dir,
                         const std::string& command) {
  const auto count = [&dir] {
    std::ifstream in(dir.file("ostrel.log"));
    long n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  };
  write_lines(dir.file("one.txt"), {command, "quit"});
  const long before = count();
  run(dir.path, {ostrel}, dir.file("one.txt"));
  return count() - before - 4;
}

/// One row of the table: "RESULT" and tab-separated measurement, ostrel, baseline,
/// ratio, goal and whether it is met ("yes", "no", or "-" without a goal).
inline void result(const std::string& measurement, const std::string& ostrel,
                   const std::string& baseline, const std::string& ratio, const std::string& goal,
                   const char* met) {
  std::printf("RESULT\t%s\t%s\t%s\t%s\t%s\t%s\n", measurement.c_str(), ostrel.c_str(),
              baseline.c_str(), ratio.c_str(), goal.c_str(), met);
  std::fflush(stdout);
}

/// value with the given decimals and a unit after it: number(1.234, 2, " ms") is "1.23 ms".
inline std::string number(double value, int decimals, const char* unit = "") {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f%s", decimals, value, unit);
  return text;
}

/// Adds an ordinary account with a password (no home, no comment) through the platform
/// call; true when it was added.
inline bool add_account(std::u16string name, std::u16string password) {
  USER_INFO_1 record{};
  record.usri1_name = name.data();
  record.usri1_password = password.data();
  record.usri1_priv = USER_PRIV_USER;
  record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  DWORD parm = 0;
  return NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm) == 0;
}

/// Milliseconds for one logon that must fail with expected; a negative value when it did not.
inline double refused_logon_ms(const std::u16string& user, const std::u16string& password,
                               DWORD expected) {
  HANDLE token = nullptr;
  const auto start = std::chrono::steady_clock::now();
  const BOOL ok = LogonUserW(user.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                             LOGON32_PROVIDER_DEFAULT, &token);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (ok) {
    CloseHandle(token);
    return -1;
  }
  return GetLastError() == expected ? ms : -1;
}

/// Milliseconds for one logon that must be accepted; a negative value when it was refused.
inline double accepted_logon_ms(const std::u16string& user, const std::u16string& password) {
  HANDLE token = nullptr;
  const auto start = std::chrono::steady_clock::now();
  const BOOL ok = LogonUserW(user.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                             LOGON32_PROVIDER_DEFAULT, &token);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (!ok) return -1;
  CloseHandle(token);
  return ms;
}

/// Times attempts wrong passwords for each of the three users, in turns whose order turns
/// round, after one untimed refusal of the third (which makes the fixed comparison hash);
/// false when one was not refused as a wrong password.
inline bool time_refusals_in_turn(const std::u16string (&users)[3], int attempts,
                                  std::vector<double> (&times)[3]) {
  refused_logon_ms(users[2], u"guess", ERROR_LOGON_FAILURE);
  for (int i = 0; i < attempts; ++i) {
    for (int k = 0; k < 3; ++k) {
      const int which = (i + k) % 3;
      const double ms = refused_logon_ms(
          users[which], u"guess" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)),
          ERROR_LOGON_FAILURE);
      if (ms < 0) return false;
      times[which].push_back(ms);
    }
  }
  return true;
}

/// Two median times in ms that must be equal within noise: their ratio against 0.90x to
/// 1.10x, the second as the baseline.
inline void equal_cost_result(const std::string& measurement, double ms, double baseline_ms) {
  const double ratio = ms / baseline_ms;
  result(measurement, number(ms, 2, " ms"), number(baseline_ms, 2, " ms"), number(ratio, 2, "x"),
         "0.90x to 1.10x", ratio >= 0.9 && ratio <= 1.1 ? "yes" : "no");
}

/// A time ratio (ostrel / baseline) against a goal of at most limit.
inline void time_result(const std::string& measurement, const std::string& ostrel,
                        const std::string& baseline, double ratio, double limit) {
  result(measurement, ostrel, baseline, number(ratio, 3, "x"), "<= " + number(limit, 2, "x"),
         ratio <= limit ? "yes" : "no");
}

}  // namespace bench
