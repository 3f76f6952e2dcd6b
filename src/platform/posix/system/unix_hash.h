// Password hashes of the host's account files, through libxcrypt: new ones with yescrypt
// at the library's default cost (Debian's default method), checks of any method crypt(3)
// knows (yescrypt, sha512crypt, ...).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace ostrel_posix {

/// A new yescrypt hash of password; false when no salt or hash could be made.
bool make_unix_hash(const std::string& password, std::string& hash);

/// True when password matches hash. A hash crypt(3) cannot use never matches, at the cost
/// of a real check. For a wrong password, attempt (when given) gets what crypt(3) made of
/// it with the hash's own setting: a key that recognises the same wrong password again
/// and costs an offline attacker what the hash does; empty when right or unusable.
bool unix_hash_matches(const std::string& hash, const std::string& password,
                       std::string* attempt = nullptr);

/// Makes the fixed hash unix_verify_dummy uses, once; call it before a logon looks
/// anything up, so that making it never adds to the cost of one kind of logon only.
void prepare_unix_dummy();

/// Checks password against a fixed yescrypt hash made with the same method and cost as
/// new ones, so that a refusal without a usable hash costs what a real check does.
void unix_verify_dummy(const std::string& password);

/// Waits until a check that began at start has taken as long as a check of a new hash
/// usually takes (measured on the fixed hash), so that a refusal tells nothing of the
/// account's hash method; a check that took longer is not held.
void pad_to_hash_cost(std::chrono::steady_clock::time_point start);

/// True when hash is not of the method and cost new hashes get.
bool unix_hash_outdated(const std::string& hash);

}  // namespace ostrel_posix
