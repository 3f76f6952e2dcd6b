// Password logon against the host's hashes. Every refusal costs what a check of a new
// hash costs: an unknown user, an account outside the managed range, an account without
// a usable hash, a wrong password, a locked account and a throttled source alike, whatever
// the account's hash method. Under a lockout policy the account's tally file
// (faillock_tally.h) stays locked from before the check until its outcome is counted, so
// that checks of other processes count in turn and none slips past the threshold; a wrong
// password is recorded with the logon's source, and one that repeats a recent wrong
// password of the account (recognised by what crypt(3) made of it with the account's own
// setting, which the check computes anyway) is not recorded again. The right password is then
// refused as the host refuses it (an expired account or password), and a hash of an older
// method or cost is replaced with a new one.
#include <sys/types.h>

#include <chrono>
#include <string>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/lockout.h"
#include "platform/posix/system/faillock_tally.h"
#include "platform/posix/system/system_entries.h"
#include "platform/posix/system/system_files.h"
#include "platform/posix/system/unix_hash.h"

namespace ostrel_posix {
namespace {

// The check itself: 0, ERROR_LOGON_FAILURE or ERROR_ACCOUNT_DISABLED (right password).
// attempt, when given, gets the key of a wrong password (see unix_hash_matches).
DWORD check_hash(const std::string& hash, const std::string* password, std::string* attempt) {
  const std::string text = password != nullptr ? *password : std::string();
  const bool disabled = !hash.empty() && hash[0] == '!';
  const std::string usable = disabled ? hash.substr(1) : hash;
  if (password == nullptr || usable.empty()) {
    unix_verify_dummy(text);
    return ERROR_LOGON_FAILURE;
  }
  if (!unix_hash_matches(usable, text, attempt)) return ERROR_LOGON_FAILURE;
  return disabled ? ERROR_ACCOUNT_DISABLED : 0;
}

// A shadow day count: empty (or -1) is none; anything else not a number counts as day 0,
// so that a field nobody can read refuses rather than admits.
bool shadow_days(const std::string& field, long& days) {
  unsigned long number = 0;
  if (field.empty() || field == "-1") return false;
  days = plain_number(field, number) ? static_cast<long>(number) : 0;
  return true;
}

// What the host's shadow ageing says of a right password: 0, ERROR_ACCOUNT_EXPIRED (the
// account's expiry day has come), ERROR_PASSWORD_MUST_CHANGE (last change 0) or
// ERROR_PASSWORD_EXPIRED (past its maximum age, inactive days included).
DWORD shadow_ageing(const SystemFiles& files, const std::string& name) {
  if (!files.options.shadow) return 0;
  const int at = files.shadow_entry(name);
  if (at < 0) return 0;
  const auto sp = split_fields(files.shadow.lines[static_cast<std::size_t>(at)], kSpFields);
  const long today = today_in_days();
  long expire = 0, changed = 0, max = 0;
  if (shadow_days(sp[kSpExpire], expire) && today >= expire) return ERROR_ACCOUNT_EXPIRED;
  if (!shadow_days(sp[kSpLastChange], changed)) return 0;
  if (changed == 0) return ERROR_PASSWORD_MUST_CHANGE;
  if (shadow_days(sp[kSpMax], max) && today - changed > max) return ERROR_PASSWORD_EXPIRED;
  return 0;
}

// Replaces the hash the password just matched with a new one, under the writers' locks
// and written as a set writes; nothing happens when another change came first. The logon
// stands whatever this answers.
void rehash(const std::string& name, const std::string& password, const std::string& old_hash) {
  std::string hash;
  if (!make_unix_hash(password, hash)) return;
  SystemFiles files;
  if (files.open(true, false) != 0) return;
  const int at = files.find_account(name);
  if (at < 0 || stored_hash(files, at) != old_hash) return;
  auto pw = split_fields(files.passwd.lines[static_cast<std::size_t>(at)], kPwFields);
  const int sp = files.shadow_entry(name);
  if (files.options.shadow && pw[kPwHash] == "x" && sp >= 0) {
    // The day of the last change stays: the password itself is the same.
    auto line = split_fields(files.shadow.lines[static_cast<std::size_t>(sp)], kSpFields);
    line[kSpHash] = hash;
    replace_entry(files.shadow, sp, join_fields(line));
  } else {
    pw[kPwHash] = hash;
    replace_entry(files.passwd, at, join_fields(pw));
  }
  (void)files.commit();
}

// The check and its count. checked_hash gets the hash a right password matched.
DWORD counted_logon(const AccountName* name, const std::string* password,
                    std::string& checked_hash) {
  std::string hash;
  bool known = false;
  uid_t uid = 0;
  SystemFiles files;
  if (name != nullptr) {
    // A file that cannot be read is told apart from a refused password.
    if (const DWORD rc = files.open_account(name->text); rc != 0) return rc;
    // An account outside the managed range is refused as an unknown name is.
    if (const int at = files.find_account(name->text); at >= 0) {
      hash = stored_hash(files, at);
      known = true;
      uid = entry_uid(files, at);
    }
  } else {
    files.options = system_options();
  }

  const LockoutPolicy policy = lockout_policy();
  TallyFile tally;
  const bool counting = policy.threshold != 0;
  // An unknown name makes the same file work in the tally directory and never gets a file.
  if (counting) {
    if (const DWORD rc =
            tally.open(tally_directory(files.options), name ? name->text : "", known, uid, true);
        rc != 0)
      return rc;
  }
  const std::int64_t now = lockout_clock();
  const std::string& source = logon_source();
  const bool locked = counting && tally.locked(now, policy);
  const bool throttled = counting && !locked && tally.throttled(source, now, policy);
  const auto start = std::chrono::steady_clock::now();
  // A locked account and a throttled source pay for the check too.
  std::string attempt;
  DWORD checked = check_hash(hash, password, counting && known ? &attempt : nullptr);
  if (checked == 0 && known) checked = shadow_ageing(files, name->text);
  if (checked != 0 || locked || throttled) pad_to_hash_cost(start);
  // A locked account refuses every password, and so does a throttled source for this
  // account; each runs from the failure that set it: attempts meanwhile are not recorded.
  if (locked || throttled) {
    note_logon_refusal(locked ? LogonRefusal::kLockedAccount : LogonRefusal::kThrottledSource);
    return ERROR_ACCOUNT_LOCKED_OUT;
  }
  if (checked == ERROR_LOGON_FAILURE) {
    note_logon_refusal(known ? LogonRefusal::kWrongPassword : LogonRefusal::kUnknownName);
    // A count that cannot be kept is told apart from a wrong password.
    if (counting) {
      bool stale = false;
      if (const DWORD rc = tally.check_recent_wrong(attempt, now, policy, stale); rc != 0)
        return rc;
      if (stale) {
        note_logon_refusal(LogonRefusal::kRepeatedPassword);
      } else if (const DWORD rc = tally.add_failure(now, policy, source); rc != 0) {
        return rc;
      }
    }
    return checked;
  }
  // The right password starts the count of its source again (of the account, without a
  // source); the logon stands even if the file cannot be written (the failures then still
  // count, as if the logon had not happened). Recent wrong passwords past the window go.
  if (counting) {
    (void)(source.empty() ? tally.clear() : tally.clear_source(source));
    bool stale = false;
    (void)tally.check_recent_wrong(std::string(), now, policy, stale);
  }
  if (checked == 0) checked_hash = hash;
  return checked;
}

}  // namespace

DWORD system_logon(const AccountName* name, const std::string* password) {
  prepare_unix_dummy();  // made now if need be, before any path can differ in cost
  std::string checked_hash;
  const DWORD rc = counted_logon(name, password, checked_hash);
  // After the tally is let go: a writer takes the files' locks before a tally's.
  if (rc == 0 && name != nullptr && password != nullptr && unix_hash_outdated(checked_hash))
    rehash(name->text, *password, checked_hash);
  return rc;
}

}  // namespace ostrel_posix
