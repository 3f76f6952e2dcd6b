// "set" under the full password policy (12 characters, complexity, a history of 5 and a
// deny list of 10 million sorted SHA-1 lines, generated here) against "set" with no policy:
// ostrel in terminal mode answers kSets set lines of new accounts per run, the two settings
// alternating, medians per command. Also printed: one deny-list lookup in the list, and the
// history's cost when an existing account changes its password (every remembered hash is
// checked, each as dear as a logon), for which there is no goal.
//
// Usage: password_policy_bench [path-to-ostrel]
#include <sodium.h>

#include <cinttypes>

#include "bench_util.h"
#include "platform/posix/common/password_policy.h"

namespace {

constexpr int kSets = 10;
constexpr int kRounds = 7;
constexpr std::uint64_t kListLines = 10000000;

// kListLines lines "HEX40:count", sorted: the first 16 digits rise with the line, the rest
// are a mix of its number.
bool write_list(const std::string& path) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return false;
  std::vector<char> buffer(1 << 20);
  std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
  const std::uint64_t step = UINT64_MAX / kListLines;
  for (std::uint64_t i = 0; i < kListLines; ++i) {
    const std::uint64_t mix = (i + 1) * 0x9E3779B97F4A7C15ull;
    std::fprintf(out, "%016" PRIX64 "%016" PRIX64 "%08X:%u\r\n", i * step, mix,
                 static_cast<unsigned>(mix >> 32), static_cast<unsigned>(i % 997 + 1));
  }
  return std::fclose(out) == 0;
}

std::string set_lines(const bench::WorkDir& dir, const std::string& tag, int round,
                      bool same_names) {
  std::vector<std::string> lines;
  for (int i = 0; i < kSets; ++i) {
    const std::string user = same_names
                                 ? "e" + tag + std::to_string(i)
                                 : "r" + tag + std::to_string(round) + "u" + std::to_string(i);
    lines.push_back("set " + user + " Pw#" + std::to_string(round) + "secret-" + std::to_string(i));
  }
  lines.push_back("quit");
  const std::string path = dir.file((tag + std::to_string(round) + ".txt").c_str());
  bench::write_lines(path, lines);
  return path;
}

void write_settings(const bench::WorkDir& dir, const std::string& policy) {
  std::ofstream ini(dir.file("ostrel.ini"));
  ini << "path " << dir.path << "\nlog info\naccount_db " << dir.db << "\n" << policy;
}

// Median ms per set of the two settings, alternating, each round with its own names (or the
// same names again: existing accounts changing their password).
std::pair<double, double> compare(const std::string& ostrel, const bench::WorkDir& dir,
                                  const std::string& policy, bool same_names) {
  std::vector<double> with, without;
  for (int round = 0; round < kRounds; ++round) {
    for (const bool on : {true, false}) {
      write_settings(dir, on ? policy : "");
      const std::string input = set_lines(dir, on ? "p" : "n", round, same_names);
      const bench::Run run = bench::run(dir.path, {ostrel}, input);
      if (run.lines != kSets + 1) {
        std::fprintf(stderr, "a set was refused (%ld lines)\n", run.lines);
        std::exit(1);
      }
      (on ? with : without).push_back(run.seconds * 1000 / kSets);
    }
  }
  return {bench::median(with), bench::median(without)};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  bench::WorkDir dir("policy");
  if (!bench::seed_store(dir.db, 10000)) return 1;
  const std::string list = dir.file("deny.txt");
  const auto start = std::chrono::steady_clock::now();
  if (!write_list(list)) return 1;
  std::printf("deny list: %" PRIu64 " lines written in %.1f s\n", kListLines,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());

  // One lookup: the list's pages as a set finds them after the first (cache warm).
  if (sodium_init() < 0) return 1;
  std::vector<double> lookups;
  for (int i = 0; i < 2000; ++i) {
    unsigned char digest[20];
    randombytes_buf(digest, sizeof digest);
    bool listed = false;
    const auto t = std::chrono::steady_clock::now();
    if (ostrel_posix::deny_list_lookup(list, digest, listed) != 0) return 1;
    lookups.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t).count());
  }
  bench::result("deny list lookup, 10 million lines (median)",
                bench::number(bench::median(lookups), 1, " us"), "-", "-", "-", "-");

  const std::string policy =
      "password_min_length 12\npassword_complexity on\n"
      "password_history 5\npassword_deny_list " +
      list + "\n";
  const auto [with, without] = compare(ostrel, dir, policy, false);
  std::printf("set of new accounts, %d per run, median of %d alternating runs\n", kSets, kRounds);
  bench::time_result("set with the full password policy against none (per command)",
                     bench::number(with, 2, " ms"), bench::number(without, 2, " ms"),
                     with / without, 1.05);

  // Existing accounts (the same names each round): the history checks the current hash and
  // up to four former ones.
  const auto [changed, plain] = compare(ostrel, dir, policy, true);
  bench::result("set of an existing account, history 5, against no policy (per command)",
                bench::number(changed, 2, " ms"), bench::number(plain, 2, " ms"),
                bench::number(changed / plain, 2, "x"), "-", "-");
  return 0;
}
