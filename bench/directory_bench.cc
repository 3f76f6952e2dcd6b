// The directory backend against bare libldap, each on a private directory server of its
// own (tests/ldap/harness.sh) loaded with bulk accounts: lookups per second against a
// search by name on a kept connection, check against that search plus a simple bind on a
// new connection, and search * over 100,000 accounts against a bare paged search of the
// same entries, with ostrel's peak memory at 20,000 and at 100,000 accounts.
// Rounds alternate ostrel and the baseline; medians.
//
// Usage: directory_bench [path-to-ostrel]   (needs slapd and ldap-utils)
#include <ldap.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "bench_util.h"

namespace {

constexpr int kLookups = 2000;
constexpr int kChecks = 30;
constexpr int kRounds = 3;
constexpr int kSmall = 20000;
constexpr int kLarge = 100000;
constexpr const char* kPassword = "Bench#Pass1";
// The password above, hashed as the server hashes it: bulk entries are loaded offline.
constexpr const char* kBulkHash =
    "{ARGON2}$argon2i$v=19$m=19456,t=2,p=1$peeSJxKy2r5SZgbOfYO0Nw$"
    "LNGvYzCDuXWlb19eoeyM+jkGgWlKuOhF6bWIuaMNCrE";

std::string harness() {
  return (bench::self_dir().parent_path().parent_path() / "tests/ldap/harness.sh").string();
}

// A private server holding count bulk accounts; stopped and removed on destruction.
struct Server {
  std::string dir, uri, base, bind_dn, bind_pw_file;
  bool ok = false;
  Server(int count, const std::string& scratch) {
    const std::string ldif = scratch + "/seed.ldif";
    {
      std::ofstream out(ldif);
      for (int i = 0; i < count; ++i) {
        const std::string name = bench::account_name(i);
        out << "dn: uid=" << name << ",ou=users,dc=ostrel,dc=test\nobjectClass: top\n"
            << "objectClass: person\nobjectClass: organizationalPerson\n"
            << "objectClass: inetOrgPerson\nobjectClass: netUserAccount\nuid: " << name
            << "\ncn: " << name << "\nsn: " << name << "\nuserPassword: " << kBulkHash
            << "\nnetUserPriv: 1\nnetUserFlags: 66049\nnetUserHomeDir: /srv/mail/" << name
            << "\nnetUserComment: Ostrel 1.0g user\n\n";
      }
    }
    const std::string exports = scratch + "/server.env";
    const std::string command =
        "OSTREL_LDAP_SEED_LDIF=" + ldif + " " + harness() + " start > " + exports;
    if (std::system(command.c_str()) != 0) return;
    std::ifstream in(exports);
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t eq = line.find('=');
      if (line.rfind("export ", 0) != 0 || eq == std::string::npos) continue;
      const std::string key = line.substr(7, eq - 7);
      // The harness quotes for the shell (printf %q): undo its backslashes.
      std::string value;
      for (std::size_t i = eq + 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        value += line[i];
      }
      if (key == "OSTREL_TEST_LDAP_DIR") dir = value;
      if (key == "OSTREL_TEST_LDAP_URI") uri = value;
      if (key == "OSTREL_TEST_LDAP_BASE") base = value;
      if (key == "OSTREL_TEST_LDAP_BIND_DN") bind_dn = value;
      if (key == "OSTREL_TEST_LDAP_BIND_PW_FILE") bind_pw_file = value;
    }
    ok = !dir.empty() && !uri.empty();
  }
  ~Server() {
    if (!dir.empty()) std::system((harness() + " stop " + dir).c_str());
  }
  void settings(const bench::WorkDir& work) const {
    std::ofstream ini(work.file("ostrel.ini"));
    ini << "path " << work.path << "\nlog info\naccount_db " << uri << "\nldap_base " << base
        << "\nldap_bind_dn " << bind_dn << "\nldap_bind_pw_file " << bind_pw_file << "\n";
  }
};

struct Unbind {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Ldap = std::unique_ptr<LDAP, Unbind>;
struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};

Ldap simple_bind(const std::string& uri, const std::string& dn, std::string password) {
  LDAP* raw = nullptr;
  if (ldap_initialize(&raw, uri.c_str()) != LDAP_SUCCESS) return nullptr;
  Ldap ld(raw);
  const int version = LDAP_VERSION3;
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  berval credentials{static_cast<ber_len_t>(password.size()), password.data()};
  if (ldap_sasl_bind_s(ld.get(), dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                       nullptr) != LDAP_SUCCESS)
    return nullptr;
  return ld;
}

Ldap bind_service(const Server& server) {
  std::ifstream file(server.bind_pw_file);
  std::string password;
  std::getline(file, password);
  return simple_bind(server.uri, server.bind_dn, password);
}

const char* kAttributes[] = {"uid",
                             "netUserPriv",
                             "netUserFlags",
                             "netUserHomeDir",
                             "netUserComment",
                             "netUserScriptPath",
                             "pwdChangedTime",
                             nullptr};

// One search by name; the entry's DN, "" when there is none.
std::string find(LDAP* ld, const Server& server, const std::string& name, std::FILE* out) {
  LDAPMessage* raw = nullptr;
  const std::string filter = "(&(objectClass=netUserAccount)(uid=" + name + "))";
  const int rc = ldap_search_ext_s(ld, ("ou=users," + server.base).c_str(), LDAP_SCOPE_ONELEVEL,
                                   filter.c_str(), const_cast<char**>(kAttributes), 0, nullptr,
                                   nullptr, nullptr, 0, &raw);
  if (rc != LDAP_SUCCESS) return "";
  const std::unique_ptr<LDAPMessage, MessageFree> result(raw);
  LDAPMessage* entry = raw ? ldap_first_entry(ld, raw) : nullptr;
  if (entry == nullptr) return "";
  char* dn = ldap_get_dn(ld, entry);
  const std::string found = dn ? dn : "";
  ldap_memfree(dn);
  std::fprintf(out, "+OK %s config 0\n", name.c_str());
  return found;
}

// Seconds for the bare lookups (binds=false) or checks (binds=true) of names.
double bare_names(const Server& server, const std::vector<std::string>& names, bool binds) {
  std::FILE* out = std::fopen("/dev/null", "w");
  const auto start = std::chrono::steady_clock::now();
  {
    const Ldap ld = bind_service(server);
    for (const std::string& name : names) {
      const std::string dn = find(ld.get(), server, name, out);
      if (binds && !dn.empty() && !simple_bind(server.uri, dn, kPassword))
        std::fprintf(stderr, "the bare bind as %s failed\n", dn.c_str());
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(out);
  return seconds;
}

// Seconds for a bare paged search of every account, 250 a page, one line each.
double bare_listing(const Server& server, long* entries) {
  std::FILE* out = std::fopen("/dev/null", "w");
  const auto start = std::chrono::steady_clock::now();
  const Ldap ld = bind_service(server);
  berval cookie{0, nullptr};
  *entries = 0;
  for (bool first = true; first || cookie.bv_len > 0; first = false) {
    LDAPControl* page = nullptr;
    ldap_create_page_control(ld.get(), 250, first ? nullptr : &cookie, 1, &page);
    LDAPControl* controls[] = {page, nullptr};
    LDAPMessage* raw = nullptr;
    const int rc =
        ldap_search_ext_s(ld.get(), ("ou=users," + server.base).c_str(), LDAP_SCOPE_ONELEVEL,
                          "(objectClass=netUserAccount)", const_cast<char**>(kAttributes), 0,
                          controls, nullptr, nullptr, 0, &raw);
    ldap_control_free(page);
    const std::unique_ptr<LDAPMessage, MessageFree> result(raw);
    if (rc != LDAP_SUCCESS) break;
    for (LDAPMessage* e = ldap_first_entry(ld.get(), raw); e; e = ldap_next_entry(ld.get(), e)) {
      berval** uid = ldap_get_values_len(ld.get(), e, "uid");
      if (uid && uid[0]) std::fprintf(out, "+DATA %.*s\n", int(uid[0]->bv_len), uid[0]->bv_val);
      ldap_value_free_len(uid);
      ++*entries;
    }
    LDAPControl** returned = nullptr;
    ldap_parse_result(ld.get(), raw, nullptr, nullptr, nullptr, nullptr, &returned, 0);
    ber_memfree(cookie.bv_val);
    cookie = berval{0, nullptr};
    LDAPControl* paged = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
    ber_int_t count = 0;
    if (paged) ldap_parse_pageresponse_control(ld.get(), paged, &count, &cookie);
    ldap_controls_free(returned);
  }
  ber_memfree(cookie.bv_val);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(out);
  return seconds;
}

// Medians over kRounds of ostrel on input and of the baseline; false when a run failed.
bool alternate(const std::string& ostrel, const bench::WorkDir& work, const std::string& input,
               long lines, const std::function<double()>& baseline, double* ostrel_s,
               double* baseline_s, long* rss_kb = nullptr) {
  std::vector<double> o, b;
  for (int round = 0; round < kRounds; ++round) {
    const bench::Run r = bench::run(work.path, {ostrel}, input);
    if (!r.ok || r.lines != lines) {
      std::fprintf(stderr, "ostrel wrote %ld lines, expected %ld\n", r.lines, lines);
      return false;
    }
    if (rss_kb) *rss_kb = std::max(*rss_kb, r.max_rss_kb);
    o.push_back(r.seconds);
    b.push_back(baseline());
  }
  *ostrel_s = bench::median(o);
  *baseline_s = bench::median(b);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ostrel = bench::ostrel_path(argc, argv);
  bench::WorkDir scratch("dirbench-seed");
  bench::WorkDir work("dirbench");
  bool ok = true;
  long small_rss = 0, large_rss = 0;
  double small_s = 0, large_s = 0;
  for (const int count : {kSmall, kLarge}) {
    const Server server(count, scratch.path);
    if (!server.ok) {
      std::fprintf(stderr, "the directory server with %d accounts did not start\n", count);
      return 1;
    }
    server.settings(work);
    bench::write_lines(work.file("search.txt"), {"search *", "quit"});
    double o = 0, b = 0;
    long entries = 0;
    long& rss = count == kSmall ? small_rss : large_rss;
    if (!alternate(
            ostrel, work, work.file("search.txt"), count + 2,
            [&] { return bare_listing(server, &entries); }, &o, &b, &rss)) {
      ok = false;
      continue;
    }
    (count == kSmall ? small_s : large_s) = o;
    if (count == kSmall) continue;
    bench::time_result("search * of 100,000 directory accounts, against a bare paged search",
                       bench::number(o, 2, " s"), bench::number(b, 2, " s"), o / b, 2.0);

    std::vector<std::string> names, lines;
    unsigned state = 12345;
    for (int i = 0; i < kLookups; ++i) {
      state = state * 1103515245u + 12345u;
      names.push_back(bench::account_name(static_cast<int>((state >> 8) % count)));
      lines.push_back("lookup " + names.back());
    }
    lines.push_back("quit");
    bench::write_lines(work.file("lookups.txt"), lines);
    if (alternate(
            ostrel, work, work.file("lookups.txt"), kLookups + 1,
            [&] { return bare_names(server, names, false); }, &o, &b)) {
      const double share = b / o;
      bench::result("directory lookups/s, against a bare search by name on a kept connection",
                    bench::number(kLookups / o, 0, "/s"), bench::number(kLookups / b, 0, "/s"),
                    bench::number(100 * share, 0, " %"), ">= 90 %", share >= 0.9 ? "yes" : "no");
    } else {
      ok = false;
    }

    names.resize(kChecks);
    lines.clear();
    for (const std::string& name : names) lines.push_back("check " + name + " " + kPassword);
    lines.push_back("quit");
    bench::write_lines(work.file("checks.txt"), lines);
    if (alternate(
            ostrel, work, work.file("checks.txt"), kChecks + 1,
            [&] { return bare_names(server, names, true); }, &o, &b)) {
      bench::time_result("directory check, against a bare search and simple bind",
                         bench::number(1000 * o / kChecks, 1, " ms"),
                         bench::number(1000 * b / kChecks, 1, " ms"), o / b, 1.1);
    } else {
      ok = false;
    }
  }
  if (small_rss > 0 && large_rss > 0) {
    const double growth = static_cast<double>(large_rss) / static_cast<double>(small_rss);
    std::printf("search *: %d accounts %.2f s, %ld KB; %d accounts %.2f s, %ld KB\n", kSmall,
                small_s, small_rss, kLarge, large_s, large_rss);
    bench::result("peak memory of search *, 100,000 against 20,000 directory accounts",
                  bench::number(large_rss / 1024.0, 1, " MB"),
                  bench::number(small_rss / 1024.0, 1, " MB"), bench::number(growth, 2, "x"),
                  "<= 1.10x", growth <= 1.1 ? "yes" : "no");
  }
  return ok ? 0 : 1;
}
