// Files another local user could have planted or changed: who may own them and who may
// write them.
#pragma once

#include <sys/stat.h>

namespace ostrel_posix {

/// Why a file of this status must not be trusted, or null when it may be: it must be a
/// regular file, owned by this process's user or by root, and not writable by group or
/// others.
const char* untrusted_file_reason(const struct stat& status);

/// The same for the file at path without following a symbolic link (a link is refused);
/// null as well when no file of that name exists.
const char* untrusted_path_reason(const char* path);

}  // namespace ostrel_posix
