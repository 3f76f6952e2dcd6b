// Files another local user could have planted, changed or read: who may own them, who may
// write them, and who may read a secret. One rule for the store, settings, log and every
// password file.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/platform.h"

namespace ostrel_posix {

/// What a file holds: accounts (or settings, or a log), or a secret such as a service
/// account's password, which group and others must not read either.
enum class FileUse { kAccounts, kSecret };

/// Why a file of this status must not be trusted, or null when it may be: it must be a
/// regular file, owned by this process's user or by root, not writable by group or
/// others, and for a secret not readable by them.
const char* untrusted_file_reason(const struct stat& status, FileUse use = FileUse::kAccounts);

/// The same for the file at path without following a symbolic link (a link is refused);
/// null as well when no file of that name exists.
const char* untrusted_path_reason(const char* path, FileUse use = FileUse::kAccounts);

/// Opens the file at path for reading without following a symbolic link and checks it by
/// the rule: the descriptor, or -1 with *reason saying why (a refusal by the rule, or why
/// it could not be opened).
int open_trusted_descriptor(const char* path, FileUse use, const char** reason);

/// A file refused by the rule, or one the settings name that cannot be used: the program's
/// reporter (platform_set_file_reporter) hears of it, and the result is the
/// misconfiguration code ERROR_BAD_CONFIGURATION, which every command answers as an
/// outage.
DWORD refuse_file(const std::string& path, const char* reason);

}  // namespace ostrel_posix
