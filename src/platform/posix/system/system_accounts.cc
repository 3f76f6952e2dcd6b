// The host-account backend's side of adding, reading, changing and deleting accounts and
// of group membership. Each change takes the host tools' locks, reads the files, and
// writes back the ones it changed as one change (file_commit.h).
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/password_policy.h"
#include "platform/posix/system/faillock_tally.h"
#include "platform/posix/system/home_dirs.h"
#include "platform/posix/system/system_entries.h"
#include "platform/posix/system/system_files.h"
#include "platform/posix/system/unix_hash.h"

namespace ostrel_posix {
namespace {

struct Ids {
  unsigned long uid = 0, gid = 0;
};

// The account Ostrel runs as, and the owners of its log and of the log's directory (the
// mail owner, when the mail servers run Ostrel): deleting one of them, locking it or giving
// it a new password would take the files away from Ostrel and the mail servers, and with
// a mail owner every mailbox.
bool runs_ostrel(unsigned long uid) {
  if (uid == static_cast<unsigned long>(geteuid())) return true;
  long file_owner = -1, directory_owner = -1;
  log_owners(file_owner, directory_owner);
  return (file_owner >= 0 && uid == static_cast<unsigned long>(file_owner)) ||
         (directory_owner >= 0 && uid == static_cast<unsigned long>(directory_owner));
}

// The numbers in one field of every entry of a file.
std::set<unsigned long> numbers_in(const AccountFile& file, std::size_t field) {
  std::set<unsigned long> used;
  for (const std::string& line : file.lines) {
    if (!is_entry(line)) continue;
    const auto fields = split_fields(line, field + 1);
    unsigned long number = 0;
    if (plain_number(fields[field], number)) used.insert(number);
  }
  return used;
}

// One past the highest uid or gid in use in the managed range, as the host's useradd
// counts, and past the highest uid ever handed out here, so that a deleted account's uid
// (and with it its files and mail) goes to nobody else; the account's own group gets the
// same number, which is kept as the highest handed out. False when the range is used up:
// a number is never taken again from below.
bool next_free_ids(SystemFiles& files, Ids& ids) {
  const UidRange& range = files.range;
  unsigned long next = range.first, last = 0;
  if (!files.last_uid.lines.empty() && plain_number(files.last_uid.lines[0], last) && last >= next)
    next = last + 1;
  const auto uids = numbers_in(files.passwd, kPwUid);
  const auto gids = numbers_in(files.group, 2);
  for (const auto* used : {&uids, &gids}) {
    const auto above = used->upper_bound(range.last);
    if (above == used->begin()) continue;
    const unsigned long highest = *std::prev(above);
    if (highest >= next) next = highest + 1;
  }
  if (!range.contains(next)) return false;
  ids.uid = ids.gid = next;
  files.last_uid.lines.assign(1, std::to_string(next));
  files.last_uid.final_newline = true;
  files.last_uid.changed = true;
  return true;
}

// The passwd line of an account.
std::string passwd_line(const SystemFiles& files, const AccountName& name, const UserFields& f,
                        const Ids& ids, const std::string& home, const std::string& hash) {
  const std::string shell =
      f.has_script_path && !f.script_path.empty() ? f.script_path : files.options.shell;
  return join_fields({name.text, files.options.shadow ? "x" : hash, std::to_string(ids.uid),
                      std::to_string(ids.gid), f.has_comment ? f.comment : "", home, shell});
}

std::string shadow_line(const SystemFiles& files, const AccountName& name,
                        const std::string& hash) {
  const SystemOptions& o = files.options;
  return join_fields({name.text, hash, std::to_string(today_in_days()), o.sp_min, o.sp_max,
                      o.sp_warn, o.sp_inact, o.sp_expire, ""});
}

// The account's lines, and its own group unless ids come from an account it replaces.
DWORD add_entries(SystemFiles& files, const AccountName& name, const UserFields& fields,
                  const std::string* hash, const Ids* kept, std::string& home, Ids& ids) {
  if (kept != nullptr) {
    ids = *kept;
  } else {
    if (find_entry(files.group, name.text) >= 0) return NERR_GroupExists;
    if (!next_free_ids(files, ids)) return NERR_InternalError;  // no uid left
  }
  home = fields.has_home_dir ? fields.home_dir
         : files.options.home_path.empty()
             ? std::string()
             : files.options.home_path + (files.options.home_path.back() == '/' ? "" : "/") +
                   name.text;
  if (!valid_field_text(home) || !valid_field_text(files.options.shell)) return NERR_InternalError;
  const std::string field = hash_field(hash, (fields.flags & UF_ACCOUNTDISABLE) != 0);
  insert_entry(files.passwd, passwd_line(files, name, fields, ids, home, field));
  if (files.options.shadow) {
    if (!files.shadow.exists) return ERROR_FILE_NOT_FOUND;
    insert_entry(files.shadow, shadow_line(files, name, field));
  }
  if (kept == nullptr) {
    if (!files.group.exists) return ERROR_FILE_NOT_FOUND;
    insert_entry(files.group, join_fields({name.text, "x", std::to_string(ids.gid), ""}));
    if (files.gshadow.exists) insert_entry(files.gshadow, join_fields({name.text, "!", "", ""}));
  }
  return 0;
}

// Takes name out of every member list of the group files.
void leave_groups(SystemFiles& files, std::string_view name) {
  for (AccountFile* file : {&files.group, &files.gshadow}) {
    const bool is_gshadow = file == &files.gshadow;
    for (std::size_t i = 0; i < file->lines.size(); ++i) {
      if (!is_entry(file->lines[i])) continue;
      auto fields = split_fields(file->lines[i], 4);
      bool changed = remove_member(fields[3], name);
      if (is_gshadow) changed = remove_member(fields[2], name) || changed;
      if (changed) replace_entry(*file, static_cast<int>(i), join_fields(fields));
    }
  }
}

// Removes the account's passwd and shadow lines and its memberships; its ids in ids.
DWORD remove_entries(SystemFiles& files, const AccountName& name, Ids& ids) {
  bool foreign = false;
  const int at = files.find_account(name.text, &foreign);
  if (foreign) return ERROR_ACCESS_DENIED;
  if (at < 0) return NERR_UserNotFound;
  const auto fields = split_fields(files.passwd.lines[static_cast<std::size_t>(at)], kPwFields);
  plain_number(fields[kPwUid], ids.uid);
  plain_number(fields[kPwGid], ids.gid);
  if (runs_ostrel(ids.uid)) return ERROR_ACCESS_DENIED;
  remove_entry(files.passwd, at);
  if (const int sp = find_entry(files.shadow, name.text); sp >= 0) remove_entry(files.shadow, sp);
  leave_groups(files, name.text);
  return 0;
}

// The account's own group (its name, its gid) goes when no other account has it as its
// primary group and it has no members, as the host's userdel does.
void remove_own_group(SystemFiles& files, const AccountName& name, const Ids& ids) {
  const int at = find_entry(files.group, name.text);
  if (at < 0) return;
  const auto fields = split_fields(files.group.lines[static_cast<std::size_t>(at)], 4);
  if (fields[2] != std::to_string(ids.gid) || !fields[3].empty()) return;
  if (numbers_in(files.passwd, kPwGid).count(ids.gid) != 0) return;
  remove_entry(files.group, at);
  if (const int gs = find_entry(files.gshadow, name.text); gs >= 0) remove_entry(files.gshadow, gs);
}

DWORD make_hash(const std::string* password, std::string& hash) {
  if (password != nullptr && !make_unix_hash(*password, hash)) return ERROR_NOT_ENOUGH_MEMORY;
  return 0;
}

// The former hashes of the account at passwd index at, oldest first, from its line in the
// history file (name:uid:count:hash,hash,... as pam_pwhistory writes it); a line of another
// uid is an older account's of the same name and does not count.
std::vector<std::string> former_hashes(const SystemFiles& files, std::string_view name, int at,
                                       int& line) {
  std::vector<std::string> hashes;
  line = find_entry(files.opasswd, name);
  if (line < 0) return hashes;
  const auto fields = split_fields(files.opasswd.lines[static_cast<std::size_t>(line)], 4);
  if (fields[1] != std::to_string(entry_uid(files, at))) return hashes;
  std::size_t start = 0;
  while (start < fields[3].size()) {
    std::size_t end = fields[3].find(',', start);
    if (end == std::string::npos) end = fields[3].size();
    if (end > start) hashes.push_back(fields[3].substr(start, end - start));
    start = end + 1;
  }
  return hashes;
}

// The account's current hash without its lock mark; empty when it has none.
std::string current_hash(const SystemFiles& files, int at) {
  std::string hash = stored_hash(files, at);
  hash.erase(0, hash.find_first_not_of('!'));
  return hash == "*" || hash == "x" ? std::string() : hash;
}

// Under the password policy's history (locks held, at the account's passwd index): refuses
// a new password that is the account's current one or one of the history - 1 before it,
// and otherwise keeps the current hash as the newest former one in the history file, with
// as many as the policy needs or as the line already had (pam_pwhistory's remember= may
// keep more), never more.
DWORD apply_history(SystemFiles& files, const AccountName& name, int at,
                    const std::string& password) {
  const unsigned history = password_policy().history;
  if (history == 0) return 0;
  if (const DWORD rc = files.read_history(); rc != 0) return rc;
  int line = -1;
  std::vector<std::string> former = former_hashes(files, name.text, at, line);
  const std::string current = current_hash(files, at);
  std::vector<const std::string*> remembered;
  if (!current.empty()) remembered.push_back(&current);
  for (auto it = former.rbegin(); it != former.rend() && remembered.size() < history; ++it)
    remembered.push_back(&*it);
  for (const std::string* hash : remembered)
    if (unix_hash_matches(*hash, password))
      return refuse_password(name.text, history_rule(history));
  if (history < 2 || current.empty() || (!former.empty() && former.back() == current)) return 0;
  const std::size_t keep = std::max<std::size_t>(history - 1, former.size());
  former.push_back(current);
  if (former.size() > keep) former.erase(former.begin(), former.end() - static_cast<long>(keep));
  std::string list;
  for (const std::string& hash : former) list += (list.empty() ? "" : ",") + hash;
  const std::string entry = join_fields(
      {name.text, std::to_string(entry_uid(files, at)), std::to_string(former.size()), list});
  if (line >= 0) {
    replace_entry(files.opasswd, line, entry);
  } else {
    insert_entry(files.opasswd, entry);
  }
  return 0;
}

DWORD system_add_user(const AccountName& name, const UserFields& fields,
                      const std::string* password) {
  std::string hash;
  if (const DWORD rc = make_hash(password, hash); rc != 0) return rc;
  SystemFiles files;
  if (const DWORD rc = files.open(true, true); rc != 0) return rc;
  // An account outside the managed range is not ours to replace.
  bool foreign = false;
  if (files.find_account(name.text, &foreign) >= 0 || find_entry(files.shadow, name.text) >= 0)
    return foreign ? ERROR_ACCESS_DENIED : NERR_UserExists;
  if (foreign) return ERROR_ACCESS_DENIED;
  std::string home;
  Ids ids;
  if (const DWORD rc =
          add_entries(files, name, fields, password ? &hash : nullptr, nullptr, home, ids);
      rc != 0)
    return rc;
  // A new account starts with no wrong passwords, whatever an old one of its name left.
  if (const std::string tallies = counting_tally_directory(files.options); !tallies.empty())
    if (const DWORD rc = remove_tally(tallies, name.text); rc != 0) return rc;
  if (const DWORD rc = files.commit(); rc != 0) return rc;
  give_home(files.options, home, static_cast<uid_t>(ids.uid), static_cast<gid_t>(ids.gid));
  return 0;
}

DWORD system_set_user(const AccountName& name, const UserFields& fields,
                      const std::string* password) {
  std::string hash;
  if (const DWORD rc = make_hash(password, hash); rc != 0) return rc;
  SystemFiles files;
  if (const DWORD rc = files.open(true, false); rc != 0) return rc;
  bool foreign = false;
  const int at = files.find_account(name.text, &foreign);
  if (foreign) return ERROR_ACCESS_DENIED;
  if (at < 0) return NERR_UserNotFound;
  // The account Ostrel runs on keeps its password and lock; its other fields may change.
  const bool disabled = (fields.flags & UF_ACCOUNTDISABLE) != 0;
  if (runs_ostrel(entry_uid(files, at)) &&
      (password != nullptr ||
       with_lock(stored_hash(files, at), disabled) != stored_hash(files, at)))
    return ERROR_ACCESS_DENIED;
  if (password != nullptr)
    if (const DWORD rc = apply_history(files, name, at, *password); rc != 0) return rc;
  // A record without UF_LOCKOUT, and a new password, unlock the account; a caller can
  // never set the flag. Unlocked first, so that a failure changes nothing else.
  if (const std::string tallies = counting_tally_directory(files.options);
      !tallies.empty() && (password != nullptr || (fields.flags & UF_LOCKOUT) == 0))
    if (const DWORD rc = clear_tally(tallies, name.text, entry_uid(files, at)); rc != 0) return rc;
  auto pw = split_fields(files.passwd.lines[static_cast<std::size_t>(at)], kPwFields);
  pw[kPwGecos] = fields.has_comment ? fields.comment : "";
  pw[kPwHome] = fields.has_home_dir ? fields.home_dir : "";
  pw[kPwShell] = fields.has_script_path && !fields.script_path.empty() ? fields.script_path
                                                                       : files.options.shell;
  if (!valid_field_text(pw[kPwShell])) return NERR_InternalError;
  const std::string field = password != nullptr ? hash_field(&hash, disabled)
                                                : with_lock(stored_hash(files, at), disabled);
  const int sp = find_entry(files.shadow, name.text);
  if (files.options.shadow && (pw[kPwHash] == "x" || sp >= 0)) {
    pw[kPwHash].assign(1, 'x');  // assign(1, ..): GCC 12 warns wrongly on = "x"
    if (sp < 0) {
      insert_entry(files.shadow, shadow_line(files, name, field));
    } else {
      auto line = split_fields(files.shadow.lines[static_cast<std::size_t>(sp)], kSpFields);
      if (password != nullptr) line[kSpLastChange] = std::to_string(today_in_days());
      line[kSpHash] = field;
      replace_entry(files.shadow, sp, join_fields(line));
    }
  } else {
    pw[kPwHash] = field;
  }
  Ids ids;
  plain_number(pw[kPwUid], ids.uid);
  plain_number(pw[kPwGid], ids.gid);
  const std::string home = pw[kPwHome];
  replace_entry(files.passwd, at, join_fields(pw));
  if (const DWORD rc = files.commit(); rc != 0) return rc;
  // A new home the command has just made goes to the account.
  give_home(files.options, home, static_cast<uid_t>(ids.uid), static_cast<gid_t>(ids.gid));
  return 0;
}

DWORD system_get_user(const AccountName& name, UserRecords& records) {
  SystemFiles files;
  if (const DWORD rc = files.open_account(name.text); rc != 0) return rc;
  const int at = files.find_account(name.text);
  if (at < 0) return NERR_UserNotFound;
  return add_system_record(files, at, counting_tally_directory(files.options), records)
             ? 0
             : ERROR_FILE_CORRUPT;
}

DWORD system_delete_user(const AccountName& name) {
  SystemFiles files;
  if (const DWORD rc = files.open(true, true); rc != 0) return rc;
  Ids ids;
  if (const DWORD rc = remove_entries(files, name, ids); rc != 0) return rc;
  remove_own_group(files, name, ids);
  if (const std::string tallies = counting_tally_directory(files.options); !tallies.empty())
    if (const DWORD rc = remove_tally(tallies, name.text); rc != 0) return rc;
  return files.commit();
}

DWORD system_replace_user(const AccountName& name, const UserFields& fields,
                          const std::string* password, DWORD& removal) {
  removal = 0;
  std::string hash;
  if (const DWORD rc = make_hash(password, hash); rc != 0) return rc;
  SystemFiles files;
  if (const DWORD rc = files.open(true, true); rc != 0) return removal = rc;
  // A new password unlocks the account, before anything else changes; the account Ostrel
  // runs on is refused first.
  const std::string tallies = counting_tally_directory(files.options);
  if (const int at = files.find_account(name.text); at >= 0) {
    if (runs_ostrel(entry_uid(files, at))) return removal = ERROR_ACCESS_DENIED;
    // The account stays the same one for its password history.
    if (password != nullptr)
      if (const DWORD rc = apply_history(files, name, at, *password); rc != 0)
        return rc == NERR_PasswordTooShort ? rc : removal = rc;
    if (password != nullptr && !tallies.empty())
      if (const DWORD rc = clear_tally(tallies, name.text, entry_uid(files, at)); rc != 0)
        return removal = rc;
  }
  // The new account keeps the old one's uid and group, so that its files stay its own;
  // both halves are written as one change.
  Ids ids;
  if (const DWORD rc = remove_entries(files, name, ids); rc != 0) return removal = rc;
  std::string home;
  if (const DWORD rc =
          add_entries(files, name, fields, password ? &hash : nullptr, &ids, home, ids);
      rc != 0)
    return rc;
  if (const DWORD rc = files.commit(); rc != 0) return rc;
  give_home(files.options, home, static_cast<uid_t>(ids.uid), static_cast<gid_t>(ids.gid));
  return 0;
}

DWORD system_add_members(const AccountName& group, const std::vector<AccountName>& members) {
  SystemFiles files;
  if (const DWORD rc = files.open(true, true); rc != 0) return rc;
  const int at = find_entry(files.group, group.text);
  if (at < 0) return NERR_GroupNotFound;
  auto fields = split_fields(files.group.lines[static_cast<std::size_t>(at)], 4);
  const int gs = find_entry(files.gshadow, group.text);
  auto shadow_fields = gs >= 0 ? split_fields(files.gshadow.lines[static_cast<std::size_t>(gs)], 4)
                               : std::vector<std::string>();
  for (const AccountName& member : members) {
    if (files.find_account(member.text) < 0) return ERROR_NO_SUCH_MEMBER;
    if (!add_member(fields[3], member.text)) return ERROR_MEMBER_IN_ALIAS;
    if (gs >= 0) add_member(shadow_fields[3], member.text);
  }
  replace_entry(files.group, at, join_fields(fields));
  if (gs >= 0) replace_entry(files.gshadow, gs, join_fields(shadow_fields));
  return files.commit();
}

}  // namespace

DWORD system_enumerate(DWORD filter, DWORD preferred_length, DWORD* resume_handle,
                       UserRecords& records, DWORD& total);
DWORD system_logon(const AccountName* name, const std::string* password);

const Backend& system_backend() {
  static const Backend table = {system_add_user,    system_set_user,     system_get_user,
                                system_delete_user, system_replace_user, system_enumerate,
                                system_add_members, system_logon,        valid_unix_name,
                                check_unix_fields};
  return table;
}

}  // namespace ostrel_posix
