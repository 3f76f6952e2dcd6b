// The host's account files as one operation sees them: read under the writers' locks for
// a change (and committed together), or read as they are for a lookup.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/common/names.h"
#include "platform/posix/system/account_files.h"
#include "platform/posix/system/file_lock.h"
#include "platform/posix/system/system_options.h"

namespace ostrel_posix {

/// The uids of the accounts this backend manages: first to last, both included.
struct UidRange {
  unsigned long first = 1, last = 0;
  bool contains(unsigned long uid) const { return uid != 0 && uid >= first && uid <= last; }
};

/// From base_uid (else UID_MIN of login.defs beside the password file) to UID_MAX.
UidRange managed_range(const SystemOptions& options);

/// A number of login.defs beside the password file (the host's own for /etc/passwd), or
/// fallback.
unsigned long login_defs_number(const SystemOptions& options, const char* key,
                                unsigned long fallback);

/// True for a field of 1 to 10 decimal digits that fits a uid; its value in number.
bool plain_number(std::string_view text, unsigned long& number);

/// True when a passwd line is a managed account: uid and gid plain numbers, uid in range.
bool managed_entry(std::string_view line, const UidRange& range);

struct SystemFiles {
  SystemOptions options;
  UidRange range;
  AccountFile passwd, shadow, group, gshadow;  // shadow read only with "shadow" on
  // The highest uid ever handed out, one line; read (made when missing) for a write with
  // the groups, so that no uid is handed out twice, whatever was deleted since.
  AccountFile last_uid;
  // Former password hashes (read by read_history), committed with the others.
  AccountFile opasswd;
  std::unique_ptr<AccountFilesLock> lock;

  /// Reads the files; for a write, after taking the locks and finishing a change a killed
  /// writer left. 0, or read_account_file's codes (ERROR_FILE_NOT_FOUND becomes
  /// ERROR_OPEN_FAILED for the password file, and for the shadow file with "shadow" on),
  /// ERROR_BUSY, ERROR_NOT_ENOUGH_MEMORY.
  DWORD open(bool write, bool with_groups);

  /// Reads only what one account needs, as open(false, false) would find it: the password
  /// file up to the account's first entry, and the shadow file (with "shadow" on) up to
  /// its first entry there when that entry is a managed account's; each file keeps that
  /// one line or none. Nothing read so is ever committed. Codes as open(false, false).
  DWORD open_account(std::string_view name);

  /// Reads the file of former password hashes (locks held), made empty and readable by
  /// its owner only when missing, as pam_pwhistory makes it: 0 or read_account_file's codes.
  DWORD read_history();

  /// Writes the files that changed, as one change; files read by open_account are refused
  /// (NERR_InternalError): they hold only one account.
  DWORD commit();

  /// The passwd index of the managed account named name, or -1. An account of that name
  /// outside the range is never found; foreign (when given) tells that one exists.
  int find_account(std::string_view name, bool* foreign = nullptr) const;

  /// The shadow index of name, or -1.
  int shadow_entry(std::string_view name) const;

  /// The shadow index of the account whose passwd line is at passwd_index, or -1; from
  /// the index once index_shadow has made one (for reading many accounts).
  int shadow_of(int passwd_index) const;
  void index_shadow();

 private:
  std::vector<int> shadow_at_;  // by passwd index
  bool one_account_ = false;    // read by open_account
};

/// Days since 1970, as the shadow file counts them.
long today_in_days();

/// Unix rule for account names: 1 to 32 characters of letters, digits, '_', '.', '-',
/// not starting with '-', optionally ending with '$', not only digits, not "." or "..".
bool valid_unix_name(std::u16string_view name);

/// A home, comment or shell must not hold a colon or a control character (they would
/// break the line): 0, or ERROR_INVALID_PARAMETER with the field's index.
DWORD check_unix_fields(const UserFields& fields, DWORD& parm_index);

/// True when text may stand in a field of an account line.
bool valid_field_text(std::string_view text);

}  // namespace ostrel_posix
