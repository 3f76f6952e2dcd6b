// The directory against the embedded store: checks per second, lookups per second and one
// search over 20,000 accounts, through the built ostrel at log level INFO, with the same
// input on both backends. Runs alternate; medians; the ratio is directory / store.
// Then refused logons on the directory, in this process: an unknown user against a known
// user with a wrong password, interleaved; the two medians must be equal within noise, or
// the time of a refusal tells which names the directory holds. The directory's password
// policy locks an account after a few wrong passwords, and a locked account is refused
// without its password being checked: each wrong password goes to an account of its own
// ("refused<N>", made with the others), so that every one is checked as the first.
//
// Needs the test directory server (eval "$(tests/ldap/harness.sh start)"); without
// OSTREL_TEST_LDAP_URI it says so and measures nothing. It empties the directory of
// accounts before and after.
//
// Usage: ldap_rate_bench [path-to-ostrel]
#include <ldap.h>

#include <memory>

#include "bench_util.h"

namespace {

constexpr int kAccounts = 20000;
constexpr int kLookups = 2000;
constexpr int kChecks = 30;
constexpr int kRounds = 3;
constexpr int kRefusals = 41;  // of each kind
constexpr const char* kPassword = "Bench#Pass1";

struct Directory {
  std::string uri, base, bind_dn, bind_pw_file;
};

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

struct Unbind {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};

// Deletes every account entry of the directory, as the service account.
bool empty_directory(const Directory& d) {
  std::ifstream file(d.bind_pw_file);
  std::string password;
  std::getline(file, password);
  LDAP* raw = nullptr;
  if (ldap_initialize(&raw, d.uri.c_str()) != LDAP_SUCCESS) return false;
  const std::unique_ptr<LDAP, Unbind> ld(raw);
  const int version = LDAP_VERSION3;
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  berval credentials{static_cast<ber_len_t>(password.size()), password.data()};
  if (ldap_sasl_bind_s(ld.get(), d.bind_dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr,
                       nullptr, nullptr) != LDAP_SUCCESS)
    return false;
  const char* no_attributes[] = {"1.1", nullptr};
  LDAPMessage* found = nullptr;
  const int rc = ldap_search_ext_s(
      ld.get(), ("ou=users," + d.base).c_str(), LDAP_SCOPE_ONELEVEL, "(objectClass=netUserAccount)",
      const_cast<char**>(no_attributes), 0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &found);
  const std::unique_ptr<LDAPMessage, MessageFree> result(found);
  if (rc != LDAP_SUCCESS) return false;
  for (LDAPMessage* e = ldap_first_entry(ld.get(), found); e != nullptr;
       e = ldap_next_entry(ld.get(), e)) {
    char* dn = ldap_get_dn(ld.get(), e);
    if (dn == nullptr) return false;
    const int deleted = ldap_delete_ext_s(ld.get(), dn, nullptr, nullptr);
    ldap_memfree(dn);
    if (deleted != LDAP_SUCCESS) return false;
  }
  return true;
}

// Adds an account with the benchmark's password and no home or comment.
bool add_with_password(const std::string& name) {
  const std::string password = kPassword;
  return bench::add_account(std::u16string(name.begin(), name.end()),
                            std::u16string(password.begin(), password.end()));
}

// The accounts that take one wrong password each: the untimed first one and kRefusals.
std::string refused_account(int i) {
  return "refused" + std::to_string(i);
}

// Adds accounts [0, count) as the bulk seeding of the store does (no password, a home and
// a comment), one NetUserAdd each, and the account "checker" with a password.
bool seed(int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = bench::account_name(i);
    const std::string home = "/srv/mail/" + name;
    WideBuffer wname = to_wide(name.c_str()), whome = to_wide(home.c_str()),
               wcomment = to_wide("Ostrel 1.0g user");
    USER_INFO_1 record{};
    record.usri1_name = wname.get();
    record.usri1_home_dir = whome.get();
    record.usri1_comment = wcomment.get();
    record.usri1_priv = USER_PRIV_USER;
    record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
    DWORD parm = 0;
    if (NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm) != 0) return false;
  }
  return add_with_password("checker");
}

// Runs one input on both backends kRounds times; medians of count / seconds.
bool measure(const std::string& ostrel, const bench::WorkDir& store, const bench::WorkDir& dir,
             const std::string& input, long lines, int count, double* store_rate,
             double* directory_rate) {
  std::vector<double> s, d;
  for (int round = 0; round < kRounds; ++round) {
    const bench::Run rs = bench::run(store.path, {ostrel}, input);
    const bench::Run rd = bench::run(dir.path, {ostrel}, input);
    if (!rs.ok || !rd.ok || rs.lines != lines || rd.lines != lines) {
      std::fprintf(stderr, "reply lines: store %ld, directory %ld, expected %ld\n", rs.lines,
                   rd.lines, lines);
      return false;
    }
    s.push_back(count / rs.seconds);
    d.push_back(count / rd.seconds);
  }
  *store_rate = bench::median(s);
  *directory_rate = bench::median(d);
  return true;
}

// Milliseconds for one logon that must be refused as a logon failure; a negative value
// when it was not.
double refused_logon_ms(const std::string& user, const std::string& password) {
  // The names and passwords here are ASCII.
  return bench::refused_logon_ms(std::u16string(user.begin(), user.end()),
                                 std::u16string(password.begin(), password.end()),
                                 ERROR_LOGON_FAILURE);
}

// Medians of kRefusals refused logons of each kind: a name the directory lacks, and an
// account with a wrong password (a fresh one each time, never locked). The directory is
// the active backend.
bool measure_refusals(double* unknown_ms, double* wrong_ms) {
  for (int i = 0; i <= kRefusals; ++i) {
    if (!add_with_password(refused_account(i))) {
      std::fprintf(stderr, "adding the accounts for refused logons failed\n");
      return false;
    }
  }
  // One of each first, untimed: the connection opens and the decoy entry is made.
  refused_logon_ms("nobody", "guess");
  refused_logon_ms(refused_account(kRefusals), "guess");
  std::vector<double> unknown, wrong;
  for (int i = 0; i < kRefusals; ++i) {
    const std::string guess = "guess" + std::string(1, static_cast<char>('a' + i % 26));
    const std::string stranger = "nobody" + std::string(1, static_cast<char>('a' + i % 26));
    // Alternate which kind goes first, so that neither always follows the other.
    const std::string known = refused_account(i);
    const double a = i % 2 ? refused_logon_ms(stranger, guess) : refused_logon_ms(known, guess);
    const double b = i % 2 ? refused_logon_ms(known, guess) : refused_logon_ms(stranger, guess);
    const double u = i % 2 ? a : b, w = i % 2 ? b : a;
    if (u < 0 || w < 0) {
      std::fprintf(stderr, "a logon on the directory was not refused as a logon failure\n");
      return false;
    }
    unknown.push_back(u);
    wrong.push_back(w);
  }
  *unknown_ms = bench::median(unknown);
  *wrong_ms = bench::median(wrong);
  return true;
}

void ratio_result(const std::string& measurement, double directory, double store, int decimals,
                  const char* unit) {
  bench::result(measurement, bench::number(directory, decimals, unit),
                bench::number(store, decimals, unit), bench::number(directory / store, 2, "x"), "-",
                "-");
}

}  // namespace

int main(int argc, char** argv) {
  const Directory directory{env("OSTREL_TEST_LDAP_URI"), env("OSTREL_TEST_LDAP_BASE"),
                            env("OSTREL_TEST_LDAP_BIND_DN"), env("OSTREL_TEST_LDAP_BIND_PW_FILE")};
  if (directory.uri.empty()) {
    std::printf(
        "skipped: OSTREL_TEST_LDAP_URI is not set "
        "(eval \"$(tests/ldap/harness.sh start)\" first)\n");
    return 0;
  }
  const std::string ostrel = bench::ostrel_path(argc, argv);

  // The embedded store: the bulk seed plus the account with a password.
  bench::WorkDir store("ldapbench-store");
  if (!bench::seed_store(store.db, kAccounts)) {
    std::fprintf(stderr, "seeding the store failed\n");
    return 1;
  }
  platform_set_account_db(store.db.c_str());
  if (!seed(0)) {
    std::fprintf(stderr, "adding the checker to the store failed\n");
    return 1;
  }
  platform_close_store();

  // The directory: the same accounts, through the platform layer.
  bench::WorkDir dir("ldapbench-dir");
  {
    std::ofstream ini(dir.file("ostrel.ini"));
    ini << "path " << dir.path << "\nlog info\naccount_db " << directory.uri << "\nldap_base "
        << directory.base << "\nldap_bind_dn " << directory.bind_dn << "\nldap_bind_pw_file "
        << directory.bind_pw_file << "\n";
  }
  if (!empty_directory(directory)) {
    std::fprintf(stderr, "the directory could not be emptied\n");
    return 1;
  }
  platform_set_account_db(directory.uri.c_str());
  platform_set_directory_options(directory.base.c_str(), directory.bind_dn.c_str(),
                                 directory.bind_pw_file.c_str());
  const auto seeding = std::chrono::steady_clock::now();
  if (!seed(kAccounts)) {
    std::fprintf(stderr, "seeding the directory failed\n");
    empty_directory(directory);
    return 1;
  }
  const double seed_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - seeding).count();
  platform_close_store();
  std::printf("directory seeded with %d accounts in %.1f s\n", kAccounts + 1, seed_seconds);

  std::vector<std::string> lines;
  unsigned state = 12345;
  for (int i = 0; i < kLookups; ++i) {
    state = state * 1103515245u + 12345u;
    lines.push_back("lookup " + bench::account_name(static_cast<int>((state >> 8) % kAccounts)));
  }
  lines.push_back("quit");
  bench::write_lines(store.file("lookups.txt"), lines);
  lines.assign(kChecks, std::string("check checker ") + kPassword);
  lines.push_back("quit");
  bench::write_lines(store.file("checks.txt"), lines);
  bench::write_lines(store.file("search.txt"), {"search *", "quit"});

  double store_rate = 0, directory_rate = 0;
  bool ok = measure(ostrel, store, dir, store.file("checks.txt"), kChecks + 1, kChecks, &store_rate,
                    &directory_rate);
  if (ok) ratio_result("checks/s, directory against store", directory_rate, store_rate, 1, "/s");
  ok = ok && measure(ostrel, store, dir, store.file("lookups.txt"), kLookups + 1, kLookups,
                     &store_rate, &directory_rate);
  if (ok) ratio_result("lookups/s, directory against store", directory_rate, store_rate, 0, "/s");
  // The listing, its count line and the quit.
  ok = ok && measure(ostrel, store, dir, store.file("search.txt"), kAccounts + 1 + 2, 1,
                     &store_rate, &directory_rate);
  if (ok) {
    bench::result("search of 20,001 accounts, directory against store",
                  bench::number(1000 / directory_rate, 0, " ms"),
                  bench::number(1000 / store_rate, 0, " ms"),
                  bench::number(store_rate / directory_rate, 2, "x"), "-", "-");
  }

  // The baseline column is the wrong password: the ratio must stay within noise of 1.
  platform_set_account_db(directory.uri.c_str());
  platform_set_directory_options(directory.base.c_str(), directory.bind_dn.c_str(),
                                 directory.bind_pw_file.c_str());
  double unknown_ms = 0, wrong_ms = 0;
  // Measured even when a rate above failed: the two do not depend on each other.
  const bool refused = measure_refusals(&unknown_ms, &wrong_ms);
  platform_close_store();
  ok = ok && refused;
  if (refused) {
    const double ratio = unknown_ms / wrong_ms;
    std::printf(
        "refused logons on the directory, median of %d interleaved each: unknown user %.2f ms, "
        "wrong password %.2f ms, ratio %.3f\n",
        kRefusals, unknown_ms, wrong_ms, ratio);
    bench::result("refused logon on the directory: unknown user against wrong password (median)",
                  bench::number(unknown_ms, 2, " ms"), bench::number(wrong_ms, 2, " ms"),
                  bench::number(ratio, 2, "x"), "0.90x to 1.10x",
                  ratio >= 0.9 && ratio <= 1.1 ? "yes" : "no");
  }
  if (!empty_directory(directory)) std::fprintf(stderr, "the directory was not emptied\n");
  return ok ? 0 : 1;
}
