// Hashes brought in from another system. Refused logons, each timed on its own and
// interleaved: a wrong password for an account holding an imported sha512crypt hash, one
// holding an imported bcrypt hash, and an unknown name; a refusal must cost the same
// whatever the hash, or its time tells which names exist. The first logon with an imported
// hash (its check and the rewrite as argon2id) against a logon of a current hash plus one
// argon2id hash. Then ostrel-import of 1,000,000 name:hash lines into a new store.
#include <crypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/platform.h"
#include "platform/posix/common/hashing.h"

namespace {

constexpr int kAttempts = 41;  // of each kind
constexpr int kImportLines = 1000000;

std::string crypt_hash(const char* prefix, unsigned long cost, const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, sizeof setting) == nullptr) return {};
  const char* out = crypt(password.c_str(), setting);
  return out != nullptr ? out : "";
}

// Imports accounts name + index for i in [0, count), each with hash (store form).
bool import_accounts(const char* name, int count, const std::string& hash) {
  std::vector<std::u16string> names;
  std::vector<USER_INFO_1> records(static_cast<std::size_t>(count));
  std::vector<const std::string*> hashes(static_cast<std::size_t>(count), &hash);
  names.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const std::string text = name + std::to_string(i);
    names.emplace_back(text.begin(), text.end());
    records[i].usri1_name = names.back().data();
    records[i].usri1_priv = USER_PRIV_USER;
    records[i].usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  }
  std::vector<DWORD> results(static_cast<std::size_t>(count));
  return ostrel_posix::bulk_import_accounts(records.data(), hashes.data(), records.size(),
                                            results.data()) == 0 &&
         std::all_of(results.begin(), results.end(), [](DWORD r) { return r == 0; });
}

}  // namespace

int main() {
  const bench::WorkDir dir("import");
  platform_set_account_db(dir.db.c_str());
  const std::string sha512 = "{CRYPT}" + crypt_hash("$6$", 0, "Right#pw1");
  const std::string bcrypt = "{CRYPT}" + crypt_hash("$2b$", 5, "Right#pw1");
  if (!import_accounts("sha", 1, sha512) || !import_accounts("blf", 1, bcrypt) ||
      !import_accounts("first", kAttempts, sha512) ||
      !bench::add_account(u"current", u"Right#pw1")) {
    std::fprintf(stderr, "the accounts could not be made\n");
    return 1;
  }

  const std::u16string users[3] = {u"sha0", u"blf0", u"nobody"};
  std::vector<double> times[3];
  if (!bench::time_refusals_in_turn(users, kAttempts, times)) {
    std::fprintf(stderr, "a logon was not refused as a wrong password\n");
    return 1;
  }
  bench::equal_cost_result("store: wrong password, imported sha512crypt, against an unknown name",
                           bench::median(times[0]), bench::median(times[2]));
  bench::equal_cost_result(
      "store: wrong password, imported bcrypt (cost 5), against an unknown "
      "name",
      bench::median(times[1]), bench::median(times[2]));

  // The first logon of each imported account, interleaved with a logon of a current hash
  // and the making of one argon2id hash.
  std::vector<double> first, current, hashing;
  for (int i = 0; i < kAttempts; ++i) {
    const std::string name = "first" + std::to_string(i);
    const double ms =
        bench::accepted_logon_ms(std::u16string(name.begin(), name.end()), u"Right#pw1");
    const double base = bench::accepted_logon_ms(u"current", u"Right#pw1");
    std::string fresh;
    const auto start = std::chrono::steady_clock::now();
    ostrel_posix::hash_password("Right#pw1", fresh);
    hashing.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (ms < 0 || base < 0 || ostrel_posix::hash_needs_renewal(fresh)) {
      std::fprintf(stderr, "a right password was refused\n");
      return 1;
    }
    first.push_back(ms);
    current.push_back(base);
  }
  const double first_ms = bench::median(first);
  const double bound_ms = bench::median(current) + bench::median(hashing);
  bench::time_result(
      "store: first logon with an imported sha512crypt hash (rewrite included), "
      "against a current-hash logon plus one argon2id hash",
      bench::number(first_ms, 2, " ms"), bench::number(bound_ms, 2, " ms"), first_ms / bound_ms,
      1.10);
  platform_close_store();

  // 1,000,000 name:hash lines of a few distinct sha512crypt hashes, into a new store.
  std::vector<std::string> hashes;
  for (int i = 0; i < 8; ++i) hashes.push_back(crypt_hash("$6$", 0, "Pw#" + std::to_string(i)));
  {
    std::FILE* out = std::fopen(dir.file("hashes").c_str(), "w");
    if (out == nullptr) return 1;
    for (int i = 0; i < kImportLines; ++i)
      std::fprintf(out, "%s:%s\n", bench::account_name(i).c_str(), hashes[i % 8].c_str());
    std::fclose(out);
  }
  bench::write_lines(dir.file("import.ini"), {"account_db " + dir.path + "/imported.db"});
  const std::string importer =
      (bench::self_dir().parent_path() / "tools" / "ostrel-import" / "ostrel-import").string();
  const bench::Run run =
      bench::run(dir.path, {importer, dir.file("import.ini"), dir.file("hashes")});
  if (!run.ok) return 1;
  bench::result("ostrel-import of 1,000,000 name:hash lines (sha512crypt) into a new store",
                bench::number(run.seconds, 1, " s"), "-", "-", "<= 300 s",
                run.seconds <= 300 ? "yes" : "no");
  bench::result("peak memory of ostrel-import of 1,000,000 lines",
                bench::number(run.max_rss_kb / 1024.0, 1, " MB"), "-", "-", "-", "-");
  return 0;
}
