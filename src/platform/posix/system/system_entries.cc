#include "platform/posix/system/system_entries.h"

#include <cstdlib>
#include <ctime>

#include "platform/posix/common/lockout.h"
#include "platform/posix/system/faillock_tally.h"

namespace ostrel_posix {

std::string stored_hash(const SystemFiles& files, int index) {
  const auto fields = split_fields(files.passwd.lines[static_cast<std::size_t>(index)], kPwFields);
  if (!files.options.shadow || fields[kPwHash] != "x") return fields[kPwHash];
  const int at = files.shadow_of(index);
  if (at < 0) return "!";  // deferred to a shadow entry that is missing: no password
  return split_fields(files.shadow.lines[static_cast<std::size_t>(at)], kSpFields)[kSpHash];
}

uid_t entry_uid(const SystemFiles& files, int index) {
  const auto fields = split_fields(files.passwd.lines[static_cast<std::size_t>(index)], kPwFields);
  return static_cast<uid_t>(std::strtoul(fields[kPwUid].c_str(), nullptr, 10));
}

std::string counting_tally_directory(const SystemOptions& options) {
  return lockout_policy().threshold != 0 ? tally_directory(options) : std::string();
}

bool add_system_record(const SystemFiles& files, int index, const std::string& tally_directory,
                       UserRecords& records) {
  const auto fields = split_fields(files.passwd.lines[static_cast<std::size_t>(index)], kPwFields);
  // The shadow line, split once for the hash and the ageing.
  const int at = files.options.shadow ? files.shadow_of(index) : -1;
  const auto sp = at >= 0
                      ? split_fields(files.shadow.lines[static_cast<std::size_t>(at)], kSpFields)
                      : std::vector<std::string>();
  UserFields account;
  account.priv = fields[kPwUid] == "0" ? USER_PRIV_ADMIN : USER_PRIV_USER;
  account.flags = UF_SCRIPT | UF_NORMAL_ACCOUNT;
  // As stored_hash reads it: a hash deferred to a missing shadow line is none.
  const std::string& hash = !files.options.shadow || fields[kPwHash] != "x" ? fields[kPwHash]
                            : at >= 0                                       ? sp[kSpHash]
                                                                            : std::string("!");
  if (!hash.empty() && hash[0] == '!') account.flags |= UF_ACCOUNTDISABLE;
  if (!tally_directory.empty()) {
    // A tally that cannot be read shows no lock here: the flag only reports it, and the
    // logon refuses on its own.
    TallyFile tally;
    if (tally.open(tally_directory, fields[kPwName], true, entry_uid(files, index), false) == 0 &&
        tally.locked(lockout_clock(), lockout_policy()))
      account.flags |= UF_LOCKOUT;
  }
  // An empty field reads as an absent one, and so does the default login shell.
  account.has_home_dir = !fields[kPwHome].empty();
  account.home_dir = fields[kPwHome];
  account.has_comment = !fields[kPwGecos].empty();
  account.comment = fields[kPwGecos];
  account.has_script_path = !fields[kPwShell].empty() && fields[kPwShell] != files.options.shell;
  account.script_path = fields[kPwShell];

  DWORD age = 0;
  bool expires = false;
  if (at >= 0) {
    const long changed = std::atol(sp[kSpLastChange].c_str());
    const long now = static_cast<long>(std::time(nullptr));
    if (changed > 0 && changed * 86400 <= now) age = static_cast<DWORD>(now - changed * 86400);
    expires = !sp[kSpMax].empty() && sp[kSpMax] != "99999" && sp[kSpMax] != "-1";
  }
  if (!expires) account.flags |= UF_DONT_EXPIRE_PASSWD;
  return add_user_fields(fields[kPwName], account, age, records);
}

std::string hash_field(const std::string* hash, bool disabled) {
  if (hash == nullptr) return "!";
  return disabled ? "!" + *hash : *hash;
}

std::string with_lock(const std::string& field, bool disabled) {
  const bool locked = !field.empty() && field[0] == '!';
  if (disabled && !locked) return "!" + field;
  if (!disabled && locked && field.size() > 1) return field.substr(1);
  return field.empty() ? "!" : field;
}

}  // namespace ostrel_posix
