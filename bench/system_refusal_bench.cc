// Refused logons on the host-account backend, each timed on its own and interleaved: a
// wrong password for an account with a sha512crypt hash, for one with a yescrypt hash
// (the method and cost of new hashes), and an unknown name. Medians and their ratios: a
// refusal must cost the same whatever the account's hash method, or its time tells which
// names exist.
#include <crypt.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/platform.h"

namespace {

constexpr int kAttempts = 61;  // of each kind

void report(const char* what, std::vector<double>& ta, std::vector<double>& tb) {
  bench::equal_cost_result(what, bench::median(ta), bench::median(tb));
}

}  // namespace

int main() {
  const bench::WorkDir dir("system-refusal");
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return 1;
  const std::string sha512 = crypt("Right#pw1", setting);
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return 1;
  const std::string yescrypt = crypt("Right#pw1", setting);
  bench::write_lines(dir.file("passwd"),
                     {"shauser:x:1000:1000::/:/bin/sh", "yesuser:x:1001:1001::/:/bin/sh"});
  bench::write_lines(dir.file("shadow"), {"shauser:" + sha512 + ":19000:0:99999:7:::",
                                          "yesuser:" + yescrypt + ":19000:0:99999:7:::"});
  bench::write_lines(dir.file("group"), {"shauser:x:1000:", "yesuser:x:1001:"});
  const std::string passwd = dir.file("passwd"), shadow = dir.file("shadow");
  PlatformSystemOptions options;
  options.password_file = passwd.c_str();
  options.shadow_file = shadow.c_str();
  options.base_uid = "1000";
  platform_set_system_options(options);
  platform_set_account_db("system");

  const std::u16string users[3] = {u"shauser", u"yesuser", u"nobody"};
  std::vector<double> times[3];
  if (!bench::time_refusals_in_turn(users, kAttempts, times)) {
    std::fprintf(stderr, "a logon was not refused as a wrong password\n");
    return 1;
  }
  std::printf(
      "host accounts refusals, median of %d interleaved each: sha512crypt %.2f ms, "
      "yescrypt %.2f ms, unknown name %.2f ms\n",
      kAttempts, bench::median(times[0]), bench::median(times[1]), bench::median(times[2]));
  report("host accounts: refused sha512crypt account against unknown name (median)", times[0],
         times[2]);
  report("host accounts: refused yescrypt account against unknown name (median)", times[1],
         times[2]);
  report("host accounts: refused unknown name against sha512crypt account (median)", times[2],
         times[0]);
  return 0;
}
