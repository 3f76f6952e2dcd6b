// Accounts of the host's files as records, and the lines of a new or changed account.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/common/names.h"
#include "platform/posix/common/net_buffer.h"
#include "platform/posix/system/system_files.h"

namespace ostrel_posix {

/// Fields of passwd and shadow lines.
enum PasswdField { kPwName, kPwHash, kPwUid, kPwGid, kPwGecos, kPwHome, kPwShell, kPwFields };
enum ShadowField {
  kSpName,
  kSpHash,
  kSpLastChange,
  kSpMin,
  kSpMax,
  kSpWarn,
  kSpInact,
  kSpExpire,
  kSpReserved,
  kSpFields
};

/// The hash field of the account whose passwd line is at index: the shadow file's when
/// the password file defers to it ("x"), else the password file's.
std::string stored_hash(const SystemFiles& files, int index);

/// The uid of the account whose passwd line is at index.
uid_t entry_uid(const SystemFiles& files, int index);

/// The tally directory (faillock_tally.h) of the files when the lockout policy counts
/// wrong passwords, else empty.
std::string counting_tally_directory(const SystemOptions& options);

/// Appends the account whose passwd line is at index, with UF_LOCKOUT while its tally in
/// tally_directory locks it (empty: no lock is looked for). False when a text is not UTF-8.
bool add_system_record(const SystemFiles& files, int index, const std::string& tally_directory,
                       UserRecords& records);

/// A hash field: the hash (or "!" for none), with the lock mark when disabled.
std::string hash_field(const std::string* hash, bool disabled);

/// The hash field with its lock mark set as disabled says. A field that would be left
/// empty (no password needed at all) stays locked.
std::string with_lock(const std::string& field, bool disabled);

}  // namespace ostrel_posix
