// The host's account files as one operation sees them: read under the writers' locks for
// a change (and committed together), or read as they are for a lookup.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/names.h"
#include "platform/posix/system/account_files.h"
#include "platform/posix/system/file_lock.h"
#include "platform/posix/system/system_options.h"

namespace ostrel_posix {

struct SystemFiles {
  SystemOptions options;
  AccountFile passwd, shadow, group, gshadow;  // shadow read only with "shadow" on
  std::unique_ptr<AccountFilesLock> lock;

  /// Reads the files; for a write, after taking the locks and finishing a change a killed
  /// writer left. 0, or ERROR_ACCESS_DENIED, ERROR_BUSY, ERROR_FILE_NOT_FOUND (no
  /// password file), ERROR_NOT_ENOUGH_MEMORY.
  DWORD open(bool write, bool with_groups);

  /// Writes the files that changed, as one change.
  DWORD commit();
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
