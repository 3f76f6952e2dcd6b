// Home directories of the host's accounts. Directories are made only below home_path,
// one component at a time through descriptors that follow no symbolic link, and a home
// is given to its account only when this process has just made that directory: a
// directory that existed before keeps its owner, wherever it is.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/system/system_options.h"

namespace ostrel_posix {

/// Makes one directory of a home's path while the host accounts serve: home_path and the
/// directories above it as asked, a directory below home_path without following a link
/// (remembered as made for a home), anything else not at all (EACCES). 0, or -1 with
/// errno set.
int system_make_directory(const SystemOptions& options, const std::string& path);

/// Gives home to uid and gid when this process has just made it: made here when it is
/// missing and below home_path, or made by system_make_directory before. Elsewhere, and
/// for a directory that was there before, nothing is made and nothing changes.
void give_home(const SystemOptions& options, const std::string& home, uid_t uid, gid_t gid);

}  // namespace ostrel_posix
