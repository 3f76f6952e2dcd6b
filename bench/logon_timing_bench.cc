// Refused logons at the real hash cost: an unknown user against a known user with a wrong
// password, interleaved, each timed on its own; prints both medians and their ratio. The
// two must be equal within noise, or the time of a refusal tells which names exist.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/platform.h"

namespace {

constexpr int kAttempts = 201;  // of each kind

// Milliseconds for one logon that must be refused; a negative value when it was not.
double refused_logon_ms(const std::u16string& user, const std::u16string& password) {
  HANDLE token = nullptr;
  const auto start = std::chrono::steady_clock::now();
  const BOOL ok = LogonUserW(user.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                             LOGON32_PROVIDER_DEFAULT, &token);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (ok) {
    CloseHandle(token);
    return -1;
  }
  return GetLastError() == ERROR_LOGON_FAILURE ? ms : -1;
}

}  // namespace

int main() {
  const bench::WorkDir dir("logon");
  platform_set_account_db(dir.db.c_str());

  std::u16string name = u"mailuser", password = u"Corr3ct-Horse";
  USER_INFO_1 record{};
  record.usri1_name = name.data();
  record.usri1_password = password.data();
  record.usri1_priv = USER_PRIV_USER;
  record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  DWORD parm = 0;
  int status = 0;
  if (NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm) != 0) {
    std::fprintf(stderr, "could not add the account\n");
    status = 1;
  }

  std::vector<double> unknown, wrong;
  // One of each first, untimed: the store opens and the fixed comparison hash is made.
  refused_logon_ms(u"nobody", u"guess");
  refused_logon_ms(name, u"guess");
  for (int i = 0; status == 0 && i < kAttempts; ++i) {
    const std::u16string guess = u"guess" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
    const std::u16string stranger =
        u"nobody" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
    // Alternate which kind goes first, so that neither always follows the other.
    const double a = i % 2 ? refused_logon_ms(stranger, guess) : refused_logon_ms(name, guess);
    const double b = i % 2 ? refused_logon_ms(name, guess) : refused_logon_ms(stranger, guess);
    const double u = i % 2 ? a : b, w = i % 2 ? b : a;
    if (u < 0 || w < 0) {
      std::fprintf(stderr, "a logon was not refused as a logon failure\n");
      status = 1;
      break;
    }
    unknown.push_back(u);
    wrong.push_back(w);
  }
  platform_close_store();
  if (status != 0) return status;

  const double mu = bench::median(unknown), mw = bench::median(wrong);
  std::printf(
      "refused logons, median of %d interleaved each: unknown user %.2f ms, wrong password "
      "%.2f ms, ratio %.3f\n",
      kAttempts, mu, mw, mu / mw);
  // The baseline column is the wrong password: the ratio must stay within noise of 1.
  const double ratio = mu / mw;
  bench::result("refused logon: unknown user against wrong password (median)",
                bench::number(mu, 2, " ms"), bench::number(mw, 2, " ms"),
                bench::number(ratio, 2, "x"), "0.90x to 1.10x",
                ratio >= 0.9 && ratio <= 1.1 ? "yes" : "no");
  return 0;
}
