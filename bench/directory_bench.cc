// The directory backend against bare libldap, each on a private directory server of its
// own (tests/ldap/harness.sh) loaded with bulk accounts: lookups per second against a
// search by name on a kept connection, check against that search plus a simple bind on a
// new connection, and search * over 100,000 accounts against a bare paged search of the
// same entries, with ostrel's peak memory at 20,000 and at 100,000 accounts.
// The baselines give ostrel's replies, each flushed to a pipe that a thread reads (as
// ostrel's go to this program), and write as many log lines as ostrel writes for each
// command (and for each account listed), each flushed to a log file; the directory
// queries themselves stay bare. Rounds alternate ostrel and the baseline; medians.
//
// Usage: directory_bench [path-to-ostrel]   (needs slapd and ldap-utils)
#include <ldap.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

#include "bench_util.h"

namespace {

constexpr int kLookups = 5000;
constexpr int kChecks = 30;
constexpr int kRounds = 5;
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

// The log a baseline writes: ostrel's line format, "DD HH:MM:SS YYYY:[pid]INFO text", the
// stamp made once a second as ostrel makes it, each line flushed.
class BaselineLog {
 public:
  explicit BaselineLog(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {}
  ~BaselineLog() {
    if (file_) std::fclose(file_);
  }
  BaselineLog(const BaselineLog&) = delete;
  BaselineLog& operator=(const BaselineLog&) = delete;
  // text ends in its newline.
  void line(const char* text) {
    if (!file_) return;
    const std::time_t now = std::time(nullptr);
    if (now != stamped_) {
      std::tm local{};
      localtime_r(&now, &local);
      char stamp[32];
      std::strftime(stamp, sizeof stamp, "%d %H:%M:%S %Y", &local);
      std::snprintf(prefix_, sizeof prefix_, "%s:[%d]INFO ", stamp, static_cast<int>(getpid()));
      stamped_ = now;
    }
    std::fprintf(file_, "%s%s", prefix_, text);
    std::fflush(file_);
  }

 private:
  std::FILE* file_;
  std::time_t stamped_ = 0;
  char prefix_[64] = "";
};

// " home=\"...\" comment=\"...\" script=\"...\"" of an entry: the fields a reply shows.
std::string reply_fields(LDAP* ld, LDAPMessage* entry) {
  std::string text;
  for (const auto& [type, word] :
       {std::pair{"netUserHomeDir", "home"}, std::pair{"netUserComment", "comment"},
        std::pair{"netUserScriptPath", "script"}}) {
    berval** values = ldap_get_values_len(ld, entry, type);
    if (values && values[0])
      text += std::string(" ") + word + "=\"" + std::string(values[0]->bv_val, values[0]->bv_len) +
              "\"";
    ldap_value_free_len(values);
  }
  return text;
}

// Where a baseline's replies go: a pipe whose other end a thread reads and counts, as this
// program reads ostrel's standard output.
class ReplyPipe {
 public:
  ReplyPipe() {
    int ends[2];
    if (pipe(ends) != 0) return;
    out = fdopen(ends[1], "w");
    reader_ = std::thread([this, in = ends[0]] {
      char buffer[65536];
      ssize_t got;
      while ((got = read(in, buffer, sizeof buffer)) > 0)
        for (ssize_t i = 0; i < got; ++i) lines_ += buffer[i] == '\n';
      close(in);
    });
  }
  ~ReplyPipe() { close_out(); }
  ReplyPipe(const ReplyPipe&) = delete;
  ReplyPipe& operator=(const ReplyPipe&) = delete;
  // Ends the replies and waits until the reader has them all: the lines it counted.
  long close_out() {
    if (out) std::fclose(out);
    out = nullptr;
    if (reader_.joinable()) reader_.join();
    return lines_;
  }
  std::FILE* out = nullptr;

 private:
  std::thread reader_;
  long lines_ = 0;
};

// Writes a reply line (ending in its newline) flushed, and logs it.
void reply(std::FILE* out, BaselineLog& log, const std::string& line) {
  std::fputs(line.c_str(), out);
  std::fflush(out);
  log.line(line.c_str());
}

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

// One search by name and ostrel's reply to it; the entry's DN, "" when there is none.
std::string find(LDAP* ld, const Server& server, const std::string& name, std::FILE* out,
                 BaselineLog& log) {
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
  reply(out, log, "+OK " + name + " config 0" + reply_fields(ld, entry) + "\n");
  return found;
}

// Seconds for the bare lookups (binds=false) or checks (binds=true) of names, with
// log_lines log lines for each (its reply among them).
double bare_names(const Server& server, const std::vector<std::string>& names, bool binds,
                  const std::string& log_path, long log_lines) {
  BaselineLog log(log_path);
  const char* performing = binds ? "Performing Windows check\n" : "Performing lookup\n";
  const auto start = std::chrono::steady_clock::now();
  ReplyPipe replies;
  std::FILE* out = replies.out;
  {
    const Ldap ld = bind_service(server);
    for (const std::string& name : names) {
      for (long i = 1; i < log_lines; ++i) log.line(performing);
      const std::string dn = find(ld.get(), server, name, out, log);
      if (binds && !dn.empty() && !simple_bind(server.uri, dn, kPassword))
        std::fprintf(stderr, "the bare bind as %s failed\n", dn.c_str());
    }
  }
  replies.close_out();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return seconds;
}

// Seconds for a bare paged search of every account, 250 a page, one reply line each and
// the count; log_lines log lines for the command besides its reply lines.
double bare_listing(const Server& server, long* entries, const std::string& log_path,
                    long log_lines) {
  BaselineLog log(log_path);
  const auto start = std::chrono::steady_clock::now();
  ReplyPipe replies;
  std::FILE* out = replies.out;
  for (long i = 0; i < log_lines; ++i) log.line("Performing search\n");
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
      if (uid && uid[0])
        reply(out, log,
              "+DATA " + std::string(uid[0]->bv_val, uid[0]->bv_len) + reply_fields(ld.get(), e) +
                  "\n");
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
  reply(out, log, "+OK " + std::to_string(*entries) + " entries found.\n");
  replies.close_out();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return seconds;
}

// Medians over kRounds of ostrel on input and of the baseline; false when a run failed.
// ostrel's time is that of the run less that of a run that only starts and ends (the
// baseline runs in this process): what is left is the commands' own, connection included.
bool alternate(const std::string& ostrel, const bench::WorkDir& work, const std::string& input,
               long lines, const std::function<double()>& baseline, double* ostrel_s,
               double* baseline_s, long* rss_kb = nullptr) {
  bench::write_lines(work.file("none.txt"), {"quit"});
  std::vector<double> o, b;
  for (int round = 0; round < kRounds; ++round) {
    // Which side goes first alternates, so that neither always follows the other's load.
    if (round % 2 != 0) b.push_back(baseline());
    const bench::Run r = bench::run(work.path, {ostrel}, input);
    if (!r.ok || r.lines != lines) {
      std::fprintf(stderr, "ostrel wrote %ld lines, expected %ld\n", r.lines, lines);
      return false;
    }
    const bench::Run none = bench::run(work.path, {ostrel}, work.file("none.txt"));
    if (rss_kb) *rss_kb = std::max(*rss_kb, r.max_rss_kb);
    o.push_back(r.seconds - none.seconds);
    if (round % 2 == 0) b.push_back(baseline());
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
    const std::string baseline_log = work.file("baseline.log");
    // The search's own lines: those of a search that lists one account, but its two
    // replies (the account's line and the count).
    const long search_lines =
        bench::log_lines_of(ostrel, work, "search " + bench::account_name(0)) - 2;
    bench::write_lines(work.file("search.txt"), {"search *", "quit"});
    double o = 0, b = 0;
    long entries = 0;
    long& rss = count == kSmall ? small_rss : large_rss;
    if (!alternate(
            ostrel, work, work.file("search.txt"), count + 2,
            [&] { return bare_listing(server, &entries, baseline_log, search_lines); }, &o, &b,
            &rss)) {
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
    const long lookup_lines = bench::log_lines_of(ostrel, work, lines.front());
    std::printf("log lines (INFO): %ld per search besides its replies, %ld per lookup\n",
                search_lines, lookup_lines);
    if (alternate(
            ostrel, work, work.file("lookups.txt"), kLookups + 1,
            [&] { return bare_names(server, names, false, baseline_log, lookup_lines); }, &o, &b)) {
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
    const long check_lines = bench::log_lines_of(ostrel, work, lines.front());
    std::printf("log lines (INFO): %ld per check\n", check_lines);
    if (alternate(
            ostrel, work, work.file("checks.txt"), kChecks + 1,
            [&] { return bare_names(server, names, true, baseline_log, check_lines); }, &o, &b)) {
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
