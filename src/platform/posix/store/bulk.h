// Seeding many accounts at once, for benchmarks and tests: one transaction instead of one
// per account. Not part of the interface the program uses.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace ostrel_posix {

/// Adds the accounts of records (their passwords are ignored: none is set) in one
/// transaction, on the local store. 0; NERR_UserExists when a name is taken, or
/// ERROR_INVALID_PARAMETER for a record NetUserAdd would refuse (nothing added then); or a
/// store result code.
DWORD bulk_add_accounts(const USER_INFO_1* records, std::size_t count);

}  // namespace ostrel_posix
