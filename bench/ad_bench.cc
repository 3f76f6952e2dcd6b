// The domain backend against bare libldap on the same domain controller, in this process:
// lookups per second (against a search by name on a kept connection), check (against a
// search and a simple bind on kept connections) and the whole listing of 10,000 accounts
// (against a bare paged search, no sort). Lookups take turns in blocks, checks and
// listings in runs that alternate; medians of the rounds.
//
// Needs the test DC (eval "$(tests/ad/harness.sh start)"); without OSTREL_TEST_AD_URI it
// says so and measures nothing. It adds its accounts to the accounts container and deletes
// them again.
#include <ldap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "platform/platform.h"
#include "platform/posix/ad/ad_connect.h"
#include "platform/posix/ad/ad_entries.h"
#include "platform/posix/directory/ldap_entries.h"

namespace {

using namespace ostrel_posix;
using Clock = std::chrono::steady_clock;

constexpr int kAccounts = 10000;
constexpr int kLookups = 2000;
constexpr int kLookupBlock = 100;
constexpr int kChecks = 60;
constexpr int kRounds = 8;
constexpr char kPassword[] = "Bench#Pass1";

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::u16string wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "failed: %s\n", what);
  std::exit(1);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The DC has just started: the service connection is tried for up to 30 seconds, and a
// failure says its code.
LdapPtr service() {
  LdapPtr ld;
  DWORD code = 0;
  for (int attempt = 0; attempt < 60; ++attempt) {
    // A lock for each try: each is a call of its own, with its own network budget.
    auto lock = lock_domain();
    code = connect_domain_service(ld);
    if (code == 0) return ld;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::fprintf(stderr, "no service connection (%lu)\n", static_cast<unsigned long>(code));
  std::exit(1);
}

// Adds accounts without a password (the DC's cost of a password would dominate the setup).
void seed(LDAP* ld, const std::string& base) {
  for (int i = 0; i < kAccounts; ++i) {
    const std::string name = bench::account_name(i);
    Modifications mods;
    mods.add(LDAP_MOD_ADD, "objectClass", {"top", "person", "organizationalPerson", "user"});
    mods.add(LDAP_MOD_ADD, "sAMAccountName", {name});
    mods.add(LDAP_MOD_ADD, "userAccountControl", {"512"});
    const std::string home = "/srv/mail/" + name;
    mods.add(LDAP_MOD_ADD, "homeDirectory", {home});
    const std::string dn = "CN=" + name + "," + base;
    const int rc = ldap_add_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS && rc != LDAP_ALREADY_EXISTS) {
      std::fprintf(stderr, "add %s: %s\n", name.c_str(), ldap_err2string(rc));
      std::exit(1);
    }
  }
}

void unseed(LDAP* ld, const std::string& base) {
  for (int i = 0; i < kAccounts; ++i) {
    const std::string dn = "CN=" + bench::account_name(i) + "," + base;
    ldap_delete_ext_s(ld, dn.c_str(), nullptr, nullptr);
  }
}

int bare_search(LDAP* ld, const std::string& base, const std::string& name,
                const char* const* attributes, std::string* dn) {
  Message result;
  const std::string filter = domain_account_filter(&name);
  const int rc = search(ld, base, LDAP_SCOPE_SUBTREE, filter, attributes, result);
  LDAPMessage* entry = ldap_first_entry(ld, result.get());
  if (dn != nullptr && entry != nullptr) {
    char* text = ldap_get_dn(ld, entry);
    *dn = text;
    ldap_memfree(text);
  }
  return rc;
}

// Seconds for the lookups [first, first + count).
double ostrel_lookups(int first, int count) {
  const auto start = Clock::now();
  for (int i = first; i < first + count; ++i) {
    LPBYTE buffer = nullptr;
    const std::u16string name = wide(bench::account_name(i * 7 % kAccounts));
    if (NetUserGetInfo(nullptr, name.c_str(), 1, &buffer) != 0) fail("lookup");
    NetApiBufferFree(buffer);
  }
  return seconds_since(start);
}

double bare_lookups(LDAP* ld, const std::string& base, int first, int count) {
  const auto start = Clock::now();
  for (int i = first; i < first + count; ++i)
    if (bare_search(ld, base, bench::account_name(i * 7 % kAccounts), kDomainAccountAttributes,
                    nullptr) != 0)
      fail("bare search");
  return seconds_since(start);
}

// Lookups per second of both sides in one round. They take turns in blocks of the same
// names, the side that starts a block alternating, so that both see the same load from
// whatever else runs on the machine: what Ostrel adds to a search is a few per cent, less
// than load that changes between two runs of a second each moves their ratio.
void lookup_rates(LDAP* ld, const std::string& base, double& ostrel, double& bare) {
  double ostrel_seconds = 0, bare_seconds = 0;
  for (int first = 0, block = 0; first < kLookups; first += kLookupBlock, ++block) {
    const int count = std::min(kLookupBlock, kLookups - first);
    if (block % 2 == 0) ostrel_seconds += ostrel_lookups(first, count);
    bare_seconds += bare_lookups(ld, base, first, count);
    if (block % 2 != 0) ostrel_seconds += ostrel_lookups(first, count);
  }
  ostrel = kLookups / ostrel_seconds;
  bare = kLookups / bare_seconds;
}

double ostrel_check(const std::string& user) {
  const std::u16string name = wide(user), password = wide(kPassword);
  const auto start = Clock::now();
  for (int i = 0; i < kChecks; ++i) {
    HANDLE token = nullptr;
    if (!LogonUserW(name.c_str(), nullptr, password.c_str(), LOGON32_LOGON_NETWORK,
                    LOGON32_PROVIDER_DEFAULT, &token))
      fail("check");
    CloseHandle(token);
  }
  return seconds_since(start) / kChecks;
}

// A simple bind as dn on the kept logon connection, which is opened when there is none and
// once more when the DC dropped it, as the backend's logon connection is: the DC closes a
// connection that stays idle too long (one that sent nothing in its first two minutes, for
// one, such as a connection opened before the seeding).
int bare_bind(LdapPtr& logon, const std::string& dn, berval& credentials) {
  int rc = LDAP_SERVER_DOWN;
  for (int attempt = 0; attempt < 2 && rc == LDAP_SERVER_DOWN; ++attempt) {
    const bool fresh = logon == nullptr;
    if (fresh) {
      auto lock = lock_domain();
      if (open_domain(logon) != 0) return LDAP_SERVER_DOWN;
    }
    rc = ldap_sasl_bind_s(logon.get(), dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                          nullptr);
    if (rc == LDAP_SERVER_DOWN) logon.reset();
    if (fresh) break;
  }
  return rc;
}

// The work of a check: the account's DN by name on the service connection, then a simple
// bind as it on the logon connection.
double bare_check(LDAP* ld, LdapPtr& logon, const std::string& base, const std::string& user) {
  const char* const dn_only[] = {"1.1", nullptr};
  std::string password = kPassword;
  berval credentials{static_cast<ber_len_t>(password.size()), password.data()};
  const auto start = Clock::now();
  for (int i = 0; i < kChecks; ++i) {
    std::string dn;
    if (const int rc = bare_search(ld, base, user, dn_only, &dn); rc != 0 || dn.empty()) {
      std::fprintf(stderr, "bare search for %s: %s\n", user.c_str(),
                   rc != 0 ? ldap_err2string(rc) : "no entry");
      fail("bare check");
    }
    if (const int rc = bare_bind(logon, dn, credentials); rc != 0) {
      std::fprintf(stderr, "bare bind as %s: %s (%s)\n", dn.c_str(), ldap_err2string(rc),
                   logon != nullptr ? diagnostic_of(logon.get()).c_str() : "no connection");
      fail("bare check");
    }
  }
  return seconds_since(start) / kChecks;
}

double ostrel_listing() {
  const auto start = Clock::now();
  DWORD resume = 0, rc = 0, seen = 0;
  do {
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    // The batch size the search command asks for.
    rc = NetUserEnum(nullptr, 1, 0, &buffer, 3200, &read, &total, &resume);
    seen += read;
    NetApiBufferFree(buffer);
  } while (rc == ERROR_MORE_DATA);
  if (rc != 0 || seen < kAccounts) fail(("listing: " + std::to_string(rc)).c_str());
  return seconds_since(start);
}

double bare_listing(LDAP* ld, const std::string& base) {
  const auto start = Clock::now();
  std::string cookie;
  bool started = false;
  int seen = 0;
  while (!started || !cookie.empty()) {
    berval value{static_cast<ber_len_t>(cookie.size()), cookie.data()};
    LDAPControl* page = nullptr;
    ldap_create_page_control(ld, 1000, started ? &value : nullptr, 1, &page);
    const Control owned(page);
    LDAPControl* controls[] = {page, nullptr};
    Message result;
    timeval timeout{60, 0};
    LDAPMessage* raw = nullptr;
    const int rc = ldap_search_ext_s(
        ld, base.c_str(), LDAP_SCOPE_SUBTREE, domain_account_filter(nullptr).c_str(),
        const_cast<char**>(kDomainAccountAttributes), 0, controls, nullptr, &timeout, 0, &raw);
    result.reset(raw);
    if (rc != 0) fail("bare listing");
    seen += ldap_count_entries(ld, result.get());
    LDAPControl** response = nullptr;
    ldap_parse_result(ld, result.get(), nullptr, nullptr, nullptr, nullptr, &response, 0);
    const Controls owned_response(response);
    LDAPControl* paged = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, response, nullptr);
    ber_int_t count = 0;
    berval next{0, nullptr};
    cookie.clear();
    if (paged != nullptr && ldap_parse_pageresponse_control(ld, paged, &count, &next) == 0 &&
        next.bv_val != nullptr) {
      cookie.assign(next.bv_val, next.bv_len);
      ber_memfree(next.bv_val);
    }
    started = true;
  }
  if (seen < kAccounts) fail("bare listing count");
  return seconds_since(start);
}

}  // namespace

int main() {
  if (env("OSTREL_TEST_AD_URI").empty()) {
    std::printf(
        "domain: OSTREL_TEST_AD_URI not set (tests/ad/harness.sh start); nothing measured\n");
    return 0;
  }
  const std::string base = env("OSTREL_TEST_AD_BASE");
  platform_set_directory_options(base.c_str(), env("OSTREL_TEST_AD_BIND_DN").c_str(),
                                 env("OSTREL_TEST_AD_BIND_PW_FILE").c_str());
  platform_set_tls_ca_file(env("OSTREL_TEST_AD_CA_FILE").c_str());
  platform_set_account_db(("ad:" + env("OSTREL_TEST_AD_URI")).c_str());
  const LdapPtr ld = service();
  // Opened by the first bare check, as the backend opens its own by the first check.
  LdapPtr logon;
  seed(ld.get(), base);
  const std::string user = "benchcheck";
  USER_INFO_1 info{};
  std::u16string name = wide(user), password = wide(kPassword);
  info.usri1_name = name.data();
  info.usri1_password = password.data();
  info.usri1_priv = USER_PRIV_USER;
  info.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  DWORD parm = 0;
  // An account left by a run that stopped early is used as it is.
  if (const DWORD rc = NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&info), &parm);
      rc != 0 && rc != NERR_UserExists) {
    std::fprintf(stderr, "add %s: %lu\n", user.c_str(), static_cast<unsigned long>(rc));
    return 1;
  }

  std::vector<double> lookups, bare_lookup_rates, checks, bare_checks, listings, bare_listings;
  for (int round = 0; round < kRounds; ++round) {
    lookup_rates(ld.get(), base, lookups.emplace_back(), bare_lookup_rates.emplace_back());
    // Which side goes first alternates, so that neither always follows the other's load.
    const bool ostrel_first = round % 2 == 0;
    for (int side = 0; side < 2; ++side) {
      if ((side == 0) == ostrel_first) {
        checks.push_back(ostrel_check(user));
        listings.push_back(ostrel_listing());
      } else {
        bare_checks.push_back(bare_check(ld.get(), logon, base, user));
        bare_listings.push_back(bare_listing(ld.get(), base));
      }
    }
    std::printf(
        "round %d: lookups %.0f/s against %.0f/s, check %.2f ms against %.2f ms, "
        "listing %.3f s against %.3f s\n",
        round, lookups.back(), bare_lookup_rates.back(), checks.back() * 1000,
        bare_checks.back() * 1000, listings.back(), bare_listings.back());
  }
  NetUserDel(nullptr, name.c_str());
  unseed(ld.get(), base);

  const double lookup_share = bench::median(lookups) / bench::median(bare_lookup_rates) * 100;
  bench::result("domain: lookups/s, against a bare search by name on a kept connection",
                bench::number(bench::median(lookups), 0, "/s"),
                bench::number(bench::median(bare_lookup_rates), 0, "/s"),
                bench::number(lookup_share, 0, " %"), ">= 90 %", lookup_share >= 90 ? "yes" : "no");
  bench::time_result("domain: check, against a bare search and simple bind",
                     bench::number(bench::median(checks) * 1000, 2, " ms"),
                     bench::number(bench::median(bare_checks) * 1000, 2, " ms"),
                     bench::median(checks) / bench::median(bare_checks), 1.10);
  bench::time_result("domain: search * of 10,000 accounts, against a bare paged search (no sort)",
                     bench::number(bench::median(listings), 3, " s"),
                     bench::number(bench::median(bare_listings), 3, " s"),
                     bench::median(listings) / bench::median(bare_listings), 2.0);
  return 0;
}
