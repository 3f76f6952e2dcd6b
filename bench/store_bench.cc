// Account store speed: reads by name and a full paged enumeration of 100,000 accounts,
// each through the platform calls and, as the baseline, the same SQLite query run
// directly on the same file. Each of many short rounds takes the two sides in turns of a
// block of reads or pages, so that both meet the same state of the machine, and the
// fastest round of each side counts: other load on the machine only ever slows a round
// down. Prints tab-separated rows for bench/run.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/platform.h"
#include "platform/posix/store/bulk.h"

namespace {

constexpr int kAccounts = 100000;
constexpr int kReads = 40000;  // per round
constexpr int kRounds = 15;
constexpr std::size_t kReadBlock = 1000;  // reads a side makes in one turn
constexpr int kPageBlock = 100;           // pages a side lists in one turn
DWORD kPageBytes = 3200;  // what the search command asks for; the first argument may change it

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::u16string to_wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::string account_name(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "user%06d", i);
  return name;
}

bool seed(const std::string& db) {
  platform_set_account_db(db.c_str());
  std::vector<std::u16string> texts;
  texts.reserve(2 * kAccounts);
  std::vector<USER_INFO_1> records(kAccounts);
  for (int i = 0; i < kAccounts; ++i) {
    texts.push_back(to_wide(account_name(i)));
    texts.push_back(to_wide("/var/mail/" + account_name(i)));
  }
  static std::u16string comment = u"Mail user";
  for (int i = 0; i < kAccounts; ++i) {
    records[i] = USER_INFO_1{};
    records[i].usri1_name = texts[2 * i].data();
    records[i].usri1_home_dir = texts[2 * i + 1].data();
    records[i].usri1_comment = comment.data();
    records[i].usri1_priv = USER_PRIV_USER;
    records[i].usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  }
  return ostrel_posix::bulk_add_accounts(records.data(), records.size()) == 0;
}

// Seconds for the reads of names [from, to), given as the program gives them (with the
// host); found counts the accounts read.
double platform_reads(const std::vector<std::u16string>& names, std::size_t from, std::size_t to,
                      const std::u16string& host, std::size_t& found) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = from; i < to; ++i) {
    LPBYTE buffer = nullptr;
    if (NetUserGetInfo(host.c_str(), names[i].c_str(), 1, &buffer) == 0) ++found;
    NetApiBufferFree(buffer);
  }
  return seconds_since(start);
}

// Reads one account's columns (name, password_set, priv, home_dir, comment, flags,
// script_path from column first) as the platform reads them: texts as text, numbers as
// numbers. Returns the text bytes.
std::size_t touch_columns(sqlite3_stmt* stmt, int first) {
  std::size_t bytes = 0;
  for (int c : {0, 3, 4, 6}) {
    sqlite3_column_text(stmt, first + c);
    bytes += static_cast<std::size_t>(sqlite3_column_bytes(stmt, first + c));
  }
  volatile std::int64_t numbers = sqlite3_column_int64(stmt, first + 1) +
                                  sqlite3_column_int64(stmt, first + 2) +
                                  sqlite3_column_int64(stmt, first + 5);
  (void)numbers;
  return bytes;
}

// The same reads by the store's query on the name keys.
double baseline_reads(sqlite3_stmt* stmt, const std::vector<std::string>& keys, std::size_t from,
                      std::size_t to, std::size_t& found) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = from; i < to; ++i) {
    sqlite3_bind_text(stmt, 1, keys[i].data(), static_cast<int>(keys[i].size()), SQLITE_STATIC);
    if (sqlite3_step(stmt) == SQLITE_ROW && touch_columns(stmt, 0) > 0) ++found;
    sqlite3_reset(stmt);
  }
  return seconds_since(start);
}

// A full enumeration through the platform, page by page with the resume handle.
struct PlatformListing {
  DWORD resume = 0;
  bool done = false;
  std::size_t listed = 0;
  NET_API_STATUS status = 0;

  // Seconds for up to pages further pages.
  double step(const std::u16string& host, int pages) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < pages && !done; ++i) {
      LPBYTE buffer = nullptr;
      DWORD read = 0, total = 0;
      status = NetUserEnum(host.c_str(), 1, 0, &buffer, kPageBytes, &read, &total, &resume);
      listed += read;
      NetApiBufferFree(buffer);
      done = status != ERROR_MORE_DATA;
    }
    return seconds_since(start);
  }
};

// The same pages read directly with the store's page query (all accounts, and the total
// in the last column): rows after the last key, until the page is full.
struct BaselineListing {
  sqlite3_stmt* stmt = nullptr;
  std::string last;
  bool done = false;
  std::size_t listed = 0;

  double step(int pages) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < pages && !done; ++i) {
      sqlite3_bind_text(stmt, 1, last.data(), static_cast<int>(last.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(stmt, 2, 0);
      std::size_t page_bytes = 0, page_rows = 0;
      done = true;
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        const std::size_t bytes = sizeof(USER_INFO_1) + 2 * (touch_columns(stmt, 1) + 4);
        if (page_rows > 0 && page_bytes + bytes > kPageBytes) {
          done = false;
          break;
        }
        page_bytes += bytes;
        ++page_rows;
        last.assign(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                    static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
      }
      sqlite3_reset(stmt);
      listed += page_rows;
    }
    return seconds_since(start);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) kPageBytes = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
  char pattern[] = "/tmp/ostrel-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  const std::string db_path = dir + "/accounts.db";
  if (!seed(db_path)) {
    std::fprintf(stderr, "seeding failed\n");
    return 1;
  }
  char host_name[256] = {};
  gethostname(host_name, sizeof host_name - 1);
  const std::u16string host = u"\\\\" + to_wide(std::string(host_name));

  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK)
    return 1;
  std::mt19937 random(42);
  std::vector<std::u16string> names;
  std::vector<std::string> keys;
  for (int n = 0; n < kReads; ++n) {
    const int i = static_cast<int>(random() % kAccounts);
    names.push_back(to_wide(account_name(i)));
    keys.push_back("USER" + account_name(i).substr(4));
  }
  sqlite3_stmt* get = nullptr;
  sqlite3_stmt* page = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT name, password_set, priv, home_dir, comment, flags, script_path"
                     " FROM accounts WHERE name_key = ?1",
                     -1, &get, nullptr);
  sqlite3_prepare_v2(db,
                     "SELECT name_key, name, password_set, priv, home_dir, comment, flags,"
                     " script_path, (SELECT n FROM account_count WHERE id = 1) FROM accounts WHERE "
                     "name_key > ?1 AND (?2 = 0 OR (flags & ?2) != 0) ORDER BY name_key",
                     -1, &page, nullptr);

  // Each round takes the two sides in turns of a block of reads or pages, which side goes
  // first alternating, so that both meet the same state of the machine; the fastest round
  // of each side counts.
  double platform_read = 0, baseline_read = 0, platform_list = 0, baseline_list = 0;
  bool complete = true;
  for (int round = 0; round < kRounds; ++round) {
    double platform_s = 0, baseline_s = 0;
    std::size_t platform_found = 0, baseline_found = 0;
    for (std::size_t from = 0, block = 0; from < names.size(); from += kReadBlock, ++block) {
      const std::size_t to = std::min(names.size(), from + kReadBlock);
      const bool platform_first = (block + round) % 2 == 0;
      if (platform_first) platform_s += platform_reads(names, from, to, host, platform_found);
      baseline_s += baseline_reads(get, keys, from, to, baseline_found);
      if (!platform_first) platform_s += platform_reads(names, from, to, host, platform_found);
    }
    complete = complete && platform_found == names.size() && baseline_found == keys.size();
    platform_read = std::max(platform_read, names.size() / platform_s);
    baseline_read = std::max(baseline_read, keys.size() / baseline_s);

    PlatformListing platform;
    BaselineListing baseline;
    baseline.stmt = page;
    platform_s = baseline_s = 0;
    for (int turn = 0; !platform.done || !baseline.done; ++turn) {
      const bool platform_first = (turn + round) % 2 == 0;
      if (platform_first) platform_s += platform.step(host, kPageBlock);
      baseline_s += baseline.step(kPageBlock);
      if (!platform_first) platform_s += platform.step(host, kPageBlock);
    }
    complete = complete && platform.status == 0 && platform.listed == kAccounts &&
               baseline.listed == kAccounts;
    platform_list = std::max(platform_list, platform.listed / platform_s);
    baseline_list = std::max(baseline_list, baseline.listed / baseline_s);
  }
  sqlite3_finalize(get);
  sqlite3_finalize(page);
  if (!complete) {
    std::fprintf(stderr, "a read or a listing came out incomplete\n");
    return 1;
  }
  sqlite3_close(db);
  platform_close_store();
  std::error_code error;
  std::filesystem::remove_all(dir, error);

  std::printf("%-40s %12s %12s %-11s %s\n", "account store (100,000 accounts)", "platform",
              "baseline", "unit", "platform time / baseline time");
  std::printf("%-40s %12.0f %12.0f %-11s %.2f\n", "read by name (NetUserGetInfo + Free)",
              platform_read, baseline_read, "reads/s", baseline_read / platform_read);
  std::printf("%-40s %12.0f %12.0f %-11s %.2f\n", "paged enumeration (NetUserEnum, 3200 B)",
              platform_list, baseline_list, "accounts/s", baseline_list / platform_list);
  bench::time_result("store: read by name (in process)", bench::number(platform_read, 0, "/s"),
                     bench::number(baseline_read, 0, "/s"), baseline_read / platform_read, 1.1);
  bench::time_result("store: paged enumeration (in process)", bench::number(platform_list, 0, "/s"),
                     bench::number(baseline_list, 0, "/s"), baseline_list / platform_list, 1.1);
  return 0;
}
