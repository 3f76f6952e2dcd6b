// Writing many accounts at once: one transaction instead of one per account. Seeding, for
// benchmarks and tests, and the import of accounts with the hashes they hold elsewhere.
// Not part of the interface the program uses.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "platform/platform.h"

namespace ostrel_posix {

/// Adds the accounts of records (their passwords are ignored: none is set) in one
/// transaction, on the local store. 0; NERR_UserExists when a name is taken, or
/// ERROR_INVALID_PARAMETER for a record NetUserAdd would refuse (nothing added then); or a
/// store result code.
DWORD bulk_add_accounts(const USER_INFO_1* records, std::size_t count);

/// Adds the accounts of records with the password hashes they hold elsewhere, kept as they
/// are: hashes[i] is a text of a form hash_method (hashing.h) knows, or null for an account
/// without a password (record passwords are ignored). One transaction on the local store.
/// results[i] gets 0 (added), NERR_UserExists (the name is taken, in the store or earlier
/// in records), ERROR_INVALID_PARAMETER (a record NetUserAdd would refuse) or
/// ERROR_INVALID_PASSWORD (no hash the store verifies); such accounts are left out and the
/// others added. 0, or a store result code: then nothing was added.
DWORD bulk_import_accounts(const USER_INFO_1* records, const std::string* const* hashes,
                           std::size_t count, DWORD* results);

/// Counts the accounts of the local store whose hash is not yet an argon2id of the current
/// parameters, by method (hash_method; "argon2id" for older parameters, "unknown" for a text
/// of no form the store verifies), in one read. 0 or a store result code.
DWORD bulk_count_hash_methods(std::map<std::string, std::size_t>& pending);

}  // namespace ostrel_posix
