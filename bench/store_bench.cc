// Account store speed: reads by name and a full paged enumeration of 100,000 accounts,
// each through the platform calls and, as the baseline, the same SQLite query run
// directly on the same file. Many short rounds alternate the two sides, each taking the
// lead in turn, and the fastest round of each side counts: other load on the machine only
// ever slows a round down. Prints tab-separated rows for bench/run.
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

// Reads of random accounts, the names given as the program gives them (with the host).
double platform_reads(const std::vector<int>& order, const std::u16string& host) {
  std::vector<std::u16string> names;
  for (int i : order) names.push_back(to_wide(account_name(i)));
  std::size_t found = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const std::u16string& name : names) {
    LPBYTE buffer = nullptr;
    if (NetUserGetInfo(host.c_str(), name.c_str(), 1, &buffer) == 0) ++found;
    NetApiBufferFree(buffer);
  }
  const double elapsed = seconds_since(start);
  if (found != names.size())
    std::fprintf(stderr, "platform reads: %zu missing\n", names.size() - found);
  return names.size() / elapsed;
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

double baseline_reads(sqlite3* db, const std::vector<int>& order) {
  std::vector<std::string> keys;
  for (int i : order) keys.push_back("USER" + account_name(i).substr(4));
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT name, password_set, priv, home_dir, comment, flags, script_path"
                     " FROM accounts WHERE name_key = ?1",
                     -1, &stmt, nullptr);
  std::size_t found = 0, bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& key : keys) {
    sqlite3_bind_text(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      ++found;
      bytes += touch_columns(stmt, 0);
    }
    sqlite3_reset(stmt);
  }
  const double elapsed = seconds_since(start);
  sqlite3_finalize(stmt);
  if (found != keys.size() || bytes == 0) std::fprintf(stderr, "baseline reads: missing\n");
  return keys.size() / elapsed;
}

// Accounts per second over full enumerations, page by page with the resume handle.
double platform_enumeration(const std::u16string& host) {
  const auto start = std::chrono::steady_clock::now();
  std::size_t listed = 0;
  DWORD resume = 0;
  NET_API_STATUS status;
  do {
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    status = NetUserEnum(host.c_str(), 1, 0, &buffer, kPageBytes, &read, &total, &resume);
    listed += read;
    NetApiBufferFree(buffer);
  } while (status == ERROR_MORE_DATA);
  const double elapsed = seconds_since(start);
  if (status != 0 || listed != kAccounts)
    std::fprintf(stderr, "platform enumeration: %zu\n", listed);
  return listed / elapsed;
}

// The same pages read directly with the store's page query (all accounts, and the total
// in the last column): rows after the last key, until the page is full.
double baseline_enumeration(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT name_key, name, password_set, priv, home_dir, comment, flags,"
                     " script_path, (SELECT n FROM account_count WHERE id = 1) FROM accounts WHERE "
                     "name_key > ?1 AND (?2 = 0 OR (flags & ?2) != 0) ORDER BY name_key",
                     -1, &stmt, nullptr);
  const auto start = std::chrono::steady_clock::now();
  std::size_t listed = 0;
  std::string last;
  bool more = true;
  while (more) {
    sqlite3_bind_text(stmt, 1, last.data(), static_cast<int>(last.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt, 2, 0);
    std::size_t page_bytes = 0, page_rows = 0;
    more = false;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const std::size_t bytes = sizeof(USER_INFO_1) + 2 * (touch_columns(stmt, 1) + 4);
      if (page_rows > 0 && page_bytes + bytes > kPageBytes) {
        more = true;
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
  const double elapsed = seconds_since(start);
  sqlite3_finalize(stmt);
  if (listed != kAccounts) std::fprintf(stderr, "baseline enumeration: %zu\n", listed);
  return listed / elapsed;
}

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
  std::vector<int> order(kReads);
  for (int& i : order) i = static_cast<int>(random() % kAccounts);

  // Alternate the two sides, and which goes first, so that neither profits from a warmer
  // machine.
  double platform_read = 0, baseline_read = 0, platform_list = 0, baseline_list = 0;
  for (int round = 0; round < kRounds; ++round) {
    const bool platform_first = round % 2 == 0;
    if (platform_first) platform_read = std::max(platform_read, platform_reads(order, host));
    baseline_read = std::max(baseline_read, baseline_reads(db, order));
    if (!platform_first) platform_read = std::max(platform_read, platform_reads(order, host));
    if (platform_first) platform_list = std::max(platform_list, platform_enumeration(host));
    baseline_list = std::max(baseline_list, baseline_enumeration(db));
    if (!platform_first) platform_list = std::max(platform_list, platform_enumeration(host));
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
