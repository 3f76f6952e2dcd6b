// Replacing several account files as one change. Each new file is written beside its old
// one, with the old one's owner and mode, and synced; a journal naming them is synced;
// then each is renamed over its old file. A process killed before the journal leaves the
// old files, one killed after it leaves a journal that the next writer, holding the locks,
// completes: files that nobody replaced meanwhile get their new text. Either way every
// file is always whole.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/system/account_files.h"

namespace ostrel_posix {

/// The journal of a change to the files beside password_file.
std::string journal_path(const std::string& password_file);

/// Completes or drops the change a killed writer left (locks held): 0, or
/// ERROR_ACCESS_DENIED when a file could not be renamed.
DWORD recover_files(const std::string& journal);

/// Writes every changed file of files (locks held): 0, ERROR_ACCESS_DENIED,
/// ERROR_DISK_FULL or NERR_InternalError. On a failure before the journal nothing changed.
DWORD commit_files(const std::vector<AccountFile*>& files, const std::string& journal);

}  // namespace ostrel_posix
