// The store at scale: a store of 1,000,000 accounts against one of 1,000 (and 100,000
// for the listing), seeded through the bulk path, the built ostrel at log level ERROR on
// each. check, set of a new account and del per command; lookups through ostrel (200,000
// a run) against lookup_baseline (the I/O loop with the same SQLite point lookup) on the
// same store, and the growth of each from the small store to the large one; reads by name
// in process (NetUserGetInfo) against the bare SQLite query, and their growth; search *
// of 1,000,000 against 100,000 accounts, wall time and peak memory; the file's size per
// account; the lookups again at INFO, the loop writing as many log lines as ostrel. Every
// ratio is taken side by side in one run, the sides alternating.
//
// Usage: store_scale_bench [path-to-ostrel]
//        store_scale_bench --seed DB COUNT   (a store of COUNT bulk accounts, for scripts)
//        store_scale_bench --peak FILE PROGRAM [ARGS...]   (PROGRAM's peak memory into FILE)
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <random>

#include "bench_util.h"

namespace {

constexpr int kSmall = 1000;
// OSTREL_BENCH_LARGE makes the large store smaller, for trying the program out.
const int kLarge =
    std::getenv("OSTREL_BENCH_LARGE") ? std::atoi(std::getenv("OSTREL_BENCH_LARGE")) : 1000000;
const int kMid = kLarge / 10;
constexpr int kCommands = 8;  // checks, sets and dels per run
constexpr int kCommandRounds = 9;
constexpr int kLookups = 200000;
constexpr int kLookupRounds = 6;
constexpr int kReads = 50000;
constexpr int kReadRounds = 5;
constexpr int kSearchRounds = 3;

struct Store {
  int accounts;
  bench::WorkDir dir;
  Store(int n, const char* tag) : accounts(n), dir(tag, "error") {}
};

std::string lines_file(const Store& s, const std::string& name,
                       const std::vector<std::string>& lines) {
  std::vector<std::string> all = lines;
  all.push_back("quit");
  const std::string path = s.dir.file(name.c_str());
  bench::write_lines(path, all);
  return path;
}

// Seconds per command of a run of count commands, less a run that only starts and ends;
// the processor time instead when cpu.
double per_command(const bench::Run& r, const bench::Run& empty, int count, bool cpu) {
  return cpu ? (r.cpu_seconds - empty.cpu_seconds) / count : (r.seconds - empty.seconds) / count;
}

// Reads by name in a child process on db: platform calls and the bare SQLite query on the
// same random names, in turns of 1,000; the seconds of each side written to the pipe.
bool in_process_reads(const std::string& db, int accounts, unsigned seed, double& platform_s,
                      double& bare_s) {
  int out[2];
  if (pipe(out) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    platform_set_account_db(db.c_str());
    sqlite3* handle = nullptr;
    sqlite3_stmt* get = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(handle,
                           "SELECT name, password_set, priv, home_dir, comment, flags, script_path"
                           " FROM accounts WHERE name_key = ?1",
                           -1, &get, nullptr) != SQLITE_OK)
      _exit(1);
    std::mt19937 random(seed);
    std::vector<std::u16string> names;
    std::vector<std::string> keys;
    for (int i = 0; i < kReads; ++i) {
      const std::string name = bench::account_name(static_cast<int>(random() % accounts));
      names.emplace_back(name.begin(), name.end());
      std::string key = name;
      for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      keys.push_back(key);
    }
    double times[2] = {0, 0};
    std::size_t found = 0;
    for (int from = 0, block = 0; from < kReads; from += 1000, ++block) {
      for (int side = 0; side < 2; ++side) {
        const bool platform = (side + block) % 2 == 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = from; i < from + 1000; ++i) {
          if (platform) {
            LPBYTE buffer = nullptr;
            if (NetUserGetInfo(nullptr, names[i].c_str(), 1, &buffer) == 0) ++found;
            NetApiBufferFree(buffer);
          } else {
            sqlite3_bind_text(get, 1, keys[i].data(), static_cast<int>(keys[i].size()),
                              SQLITE_STATIC);
            if (sqlite3_step(get) == SQLITE_ROW) {
              for (int c : {0, 3, 4, 6}) sqlite3_column_text(get, c);
              volatile sqlite3_int64 n = sqlite3_column_int64(get, 1) +
                                         sqlite3_column_int64(get, 2) +
                                         sqlite3_column_int64(get, 5);
              (void)n;
              ++found;
            }
            sqlite3_reset(get);
          }
        }
        times[platform ? 0 : 1] +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
    }
    if (found != 2u * kReads) _exit(1);
    if (write(out[1], times, sizeof times) != sizeof times) _exit(1);
    _exit(0);
  }
  close(out[1]);
  double times[2] = {0, 0};
  const bool got = read(out[0], times, sizeof times) == sizeof times;
  close(out[0]);
  int status = 1;
  waitpid(pid, &status, 0);
  platform_s = times[0];
  bare_s = times[1];
  return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Points the store's settings file at a log level.
void set_level(const Store& s, const char* level) {
  std::ofstream ini(s.dir.file("ostrel.ini"), std::ios::trunc);
  ini << "path " << s.dir.path << "\nlog " << level << "\naccount_db " << s.dir.db << "\n";
}

// Lookups per second of ostrel and of the loop with the same SQLite lookup (writing
// log_lines[k] log lines a lookup) on both stores, kLookupRounds rounds whose four runs
// take the lead in turn; each log is emptied before a run. False when a run missed replies.
bool lookup_rounds(Store* const (&sides)[2], const std::string& ostrel, const std::string& baseline,
                   const std::string (&inputs)[2], const long (&log_lines)[2],
                   std::vector<double> (&own)[2], std::vector<double> (&loop)[2],
                   std::vector<double> (&share)[2], std::vector<double>& growth) {
  for (int round = 0; round < kLookupRounds; ++round) {
    double o[2], b[2];
    for (int turn = 0; turn < 4; ++turn) {
      const int which = (round + turn) % 4, k = which / 2;
      const Store& s = *sides[k];
      const bool mine = which % 2 == 0;
      for (const char* log : {"ostrel.log", "loop.log"})
        std::ofstream(s.dir.file(log), std::ios::trunc);
      const bench::Run r = mine ? bench::run(s.dir.path, {ostrel}, inputs[k])
                                : bench::run(s.dir.path,
                                             {baseline, s.dir.db, s.dir.file("loop.log"),
                                              std::to_string(log_lines[k])},
                                             inputs[k]);
      if (r.lines != kLookups + 1) {
        std::fprintf(stderr, "lookups: %ld reply lines\n", r.lines);
        return false;
      }
      (mine ? o : b)[k] = r.seconds;
    }
    for (int k = 0; k < 2; ++k) {
      own[k].push_back(kLookups / o[k]);
      loop[k].push_back(kLookups / b[k]);
      share[k].push_back(b[k] / o[k]);
    }
    growth.push_back((o[1] / o[0]) / (b[1] / b[0]));
    std::printf("round %d: lookups/s ostrel %.0f / %.0f, loop with SQLite %.0f / %.0f\n", round + 1,
                own[1].back(), own[0].back(), loop[1].back(), loop[0].back());
  }
  return true;
}

void growth_result(const std::string& what, double ostrel_growth, double sqlite_growth) {
  const double ratio = ostrel_growth / sqlite_growth;
  bench::result(what, bench::number(ostrel_growth, 2, "x"), bench::number(sqlite_growth, 2, "x"),
                bench::number(ratio, 3, "x"), "<= 1.10x", ratio <= 1.10 ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--seed")
    return bench::seed_store(argv[2], std::atoi(argv[3])) ? 0 : 1;
  if (argc >= 4 && std::string(argv[1]) == "--peak") return bench::spawn_for_peak(argv + 2);
  const std::string ostrel = bench::ostrel_path(argc, argv);
  const std::string baseline = bench::sibling("lookup_baseline");
  Store small(kSmall, "scale-small"), mid(kMid, "scale-mid"), large(kLarge, "scale-large");
  for (Store* s : {&small, &mid, &large}) {
    const auto start = std::chrono::steady_clock::now();
    if (!bench::seed_store(s->dir.db, s->accounts)) {
      std::fprintf(stderr, "seeding %d accounts failed\n", s->accounts);
      return 1;
    }
    std::printf("seeded %d accounts in %.1f s\n", s->accounts,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  struct stat mid_file {
  }, large_file{};
  stat(mid.dir.db.c_str(), &mid_file);
  stat(large.dir.db.c_str(), &large_file);
  Store* sides[2] = {&small, &large};
  for (Store* s : sides)
    if (!bench::run(s->dir.path, {ostrel, "set", "alice", "s3cret"}).ok) return 1;

  // check, set and del: per command, less a run that only starts and ends.
  std::vector<double> check[2], set[2], del[2];
  // The wall times of the runs themselves, for set and del.
  std::vector<double> empty_s[2], set_s[2], del_s[2];
  for (int round = 0; round < kCommandRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const int k = (round + turn) % 2;
      const Store& s = *sides[k];
      std::vector<std::string> checks(kCommands, "check alice s3cret"), sets, dels;
      for (int i = 0; i < kCommands; ++i) {
        const std::string name = "new" + std::to_string(round) + "x" + std::to_string(i);
        sets.push_back("set " + name + " pw" + std::to_string(i) + "secret");
        dels.push_back("del " + name);
      }
      const bench::Run empty = bench::run(s.dir.path, {ostrel}, lines_file(s, "none.txt", {}));
      const bench::Run rc = bench::run(s.dir.path, {ostrel}, lines_file(s, "check.txt", checks));
      const bench::Run rs = bench::run(s.dir.path, {ostrel}, lines_file(s, "set.txt", sets));
      const bench::Run rd = bench::run(s.dir.path, {ostrel}, lines_file(s, "del.txt", dels));
      if (rc.lines != kCommands + 1 || rs.lines != kCommands + 1 || rd.lines != kCommands + 1)
        return 1;
      check[k].push_back(per_command(rc, empty, kCommands, true) * 1000);
      set[k].push_back(per_command(rs, empty, kCommands, false) * 1000);
      del[k].push_back(per_command(rd, empty, kCommands, false) * 1000);
      empty_s[k].push_back(empty.seconds);
      set_s[k].push_back(rs.seconds);
      del_s[k].push_back(rd.seconds);
    }
    std::printf("round %d: check %.2f / %.2f ms CPU, set %.2f / %.2f ms, del %.2f / %.2f ms\n",
                round + 1, check[1].back(), check[0].back(), set[1].back(), set[0].back(),
                del[1].back(), del[0].back());
  }

  // Lookups through ostrel and the loop with the same lookup, each store.
  std::string inputs[2];
  long per_lookup[2];
  for (int k = 0; k < 2; ++k) {
    std::vector<std::string> lines;
    unsigned state = 12345;
    for (int i = 0; i < kLookups; ++i) {
      state = state * 1103515245u + 12345u;
      lines.push_back("lookup " +
                      bench::account_name(static_cast<int>((state >> 8) % sides[k]->accounts)));
    }
    inputs[k] = lines_file(*sides[k], "lookups.txt", lines);
    // At ERROR a run writes fewer lines than the four log_lines_of takes off: none a lookup.
    per_lookup[k] = std::max(
        0L, bench::log_lines_of(ostrel, sides[k]->dir, "lookup " + bench::account_name(7)));
  }
  std::vector<double> lo[2], lb[2], lookup_share[2], lookup_growth;
  if (!lookup_rounds(sides, ostrel, baseline, inputs, per_lookup, lo, lb, lookup_share,
                     lookup_growth))
    return 1;

  // Reads by name in process.
  std::vector<double> rp[2], rb[2], read_growth;
  for (int round = 0; round < kReadRounds; ++round) {
    double p[2], b[2];
    for (int turn = 0; turn < 2; ++turn) {
      const int k = (round + turn) % 2;
      if (!in_process_reads(sides[k]->dir.db, sides[k]->accounts, 42 + round, p[k], b[k])) return 1;
      rp[k].push_back(kReads / p[k]);
      rb[k].push_back(kReads / b[k]);
    }
    read_growth.push_back((p[1] / p[0]) / (b[1] / b[0]));
    std::printf("round %d: reads/s platform %.0f / %.0f, bare SQLite %.0f / %.0f\n", round + 1,
                rp[1].back(), rp[0].back(), rb[1].back(), rb[0].back());
  }

  // search * of 1,000,000 against 100,000 accounts.
  std::vector<double> search_s[2];
  long search_rss[2] = {0, 0};
  Store* listed[2] = {&mid, &large};
  for (int round = 0; round < kSearchRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const int k = (round + turn) % 2;
      const bench::Run r = bench::run(listed[k]->dir.path, {ostrel, "search", "*"});
      // The large store holds alice too.
      if (!r.ok || r.lines != listed[k]->accounts + (k == 1 ? 2 : 1)) {
        std::fprintf(stderr, "search *: %ld lines\n", r.lines);
        return 1;
      }
      search_s[k].push_back(r.seconds);
    }
    std::printf("round %d: search * %.3f s (1,000,000), %.3f s (100,000)\n", round + 1,
                search_s[1].back(), search_s[0].back());
  }
  // The peak memory of a listing, from one more run of each.
  for (int k = 0; k < 2; ++k) {
    const bench::Run r = bench::run_for_peak(bench::sibling("store_scale_bench"),
                                             listed[k]->dir.path, {ostrel, "search", "*"});
    if (!r.ok) return 1;
    search_rss[k] = r.max_rss_kb;
  }

  // The same lookups at INFO: ostrel's log lines of a lookup (flushed each) written by the
  // loop too.
  long info_lines[2];
  for (int k = 0; k < 2; ++k) {
    set_level(*sides[k], "info");
    info_lines[k] = bench::log_lines_of(ostrel, sides[k]->dir, "lookup " + bench::account_name(7));
  }
  std::vector<double> io[2], ib[2], info_share[2], info_growth;
  if (!lookup_rounds(sides, ostrel, baseline, inputs, info_lines, io, ib, info_share, info_growth))
    return 1;
  for (Store* s : sides) set_level(*s, "error");

  std::printf("log lines per lookup at ERROR: %ld, %ld; at INFO: %ld, %ld\n", per_lookup[0],
              per_lookup[1], info_lines[0], info_lines[1]);
  const auto ratio_row = [](const std::string& what, double l, double s) {
    bench::time_result(what, bench::number(l, 2, " ms"), bench::number(s, 2, " ms"), l / s, 1.10);
  };
  ratio_row("store of 1,000,000 against 1,000: check (CPU time per command, lowest)",
            bench::lowest(check[1]), bench::lowest(check[0]));
  // set and del wait on the disk too, which other load only ever slows down as well: the
  // lowest run of commands less the lowest run that only starts and ends. The lowest of the
  // rounds' own differences would favour a round whose empty run happened to be slowed.
  std::printf("medians of the rounds: set %.2f / %.2f ms, del %.2f / %.2f ms\n",
              bench::median(set[1]), bench::median(set[0]), bench::median(del[1]),
              bench::median(del[0]));
  const auto lowest_per_command = [](const std::vector<double>& runs,
                                     const std::vector<double>& empty) {
    return (bench::lowest(runs) - bench::lowest(empty)) / kCommands * 1000;
  };
  ratio_row("store of 1,000,000 against 1,000: set of a new account (per command, lowest)",
            lowest_per_command(set_s[1], empty_s[1]), lowest_per_command(set_s[0], empty_s[0]));
  ratio_row("store of 1,000,000 against 1,000: del (per command, lowest)",
            lowest_per_command(del_s[1], empty_s[1]), lowest_per_command(del_s[0], empty_s[0]));
  growth_result(
      "store of 1,000 -> 1,000,000: lookups/s through ostrel (slowdown), against the "
      "loop with the same SQLite lookup (median of rounds)",
      bench::median(lo[0]) / bench::median(lo[1]), bench::median(lb[0]) / bench::median(lb[1]));
  growth_result(
      "store of 1,000 -> 1,000,000: read by name in process (slowdown), against the "
      "bare SQLite query (median of rounds)",
      bench::median(rp[0]) / bench::median(rp[1]), bench::median(rb[0]) / bench::median(rb[1]));
  const char* size_names[2] = {"1,000", "1,000,000"};
  for (int k = 0; k < 2; ++k) {
    const double share = bench::median(lookup_share[k]);
    bench::result(std::string("lookups/s at ERROR, store of ") + size_names[k] +
                      ", against I/O loop + SQLite lookup (median of the rounds)",
                  bench::number(bench::median(lo[k]), 0, "/s"),
                  bench::number(bench::median(lb[k]), 0, "/s"), bench::number(100 * share, 0, " %"),
                  ">= 95 %", share >= 0.95 ? "yes" : "no");
  }
  for (int k = 0; k < 2; ++k) {
    const double share = bench::median(info_share[k]);
    bench::result(std::string("lookups/s at INFO, store of ") + size_names[k] +
                      ", against I/O loop + SQLite lookup + the same log lines (median of the "
                      "rounds)",
                  bench::number(bench::median(io[k]), 0, "/s"),
                  bench::number(bench::median(ib[k]), 0, "/s"), bench::number(100 * share, 0, " %"),
                  ">= 95 %", share >= 0.95 ? "yes" : "no");
  }
  std::printf("growth of the rounds' own ratios: lookups %.3f (INFO %.3f), reads %.3f\n",
              bench::median(lookup_growth), bench::median(info_growth), bench::median(read_growth));
  const double ms = bench::median(search_s[0]), ls = bench::median(search_s[1]);
  bench::time_result("search * of 1,000,000 against 100,000 accounts (wall time, median)",
                     bench::number(ls, 2, " s"), bench::number(ms, 2, " s"), ls / ms, 10.5);
  const double rss = static_cast<double>(search_rss[1]) / search_rss[0];
  bench::result("search * peak memory, 1,000,000 against 100,000 accounts",
                bench::number(search_rss[1], 0, " KB"), bench::number(search_rss[0], 0, " KB"),
                bench::number(rss, 2, "x"), "<= 1.20x", rss <= 1.2 ? "yes" : "no");
  bench::result("store file per account, 1,000,000 (100,000) accounts",
                bench::number(static_cast<double>(large_file.st_size) / kLarge, 0, " B"),
                bench::number(static_cast<double>(mid_file.st_size) / kMid, 0, " B"), "-", "-",
                "-");
  return 0;
}
