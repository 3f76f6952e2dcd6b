// Password hashes: argon2id through libsodium, with the cost parameters kept here only.
// Hashes brought in from another system are kept as they came and verified too, until
// the first successful logon rewrites them as argon2id:
//   $argon2id$...            argon2id of any parameters (the store's own form)
//   {ARGON2I}$argon2i$...    argon2i
//   {CRYPT}<crypt(3) hash>   any method libxcrypt verifies (crypt_hash.h)
//   {SSHA256}, {SSHA512}     base64 of SHA-2(password salt) followed by the salt
// A refusal of a hash cheaper than a current argon2id costs what checking one does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace ostrel_posix {

// argon2id, 2 passes over 19 MiB: the common minimum recommendation. Raising these renews
// every stored hash at its next successful logon.
inline constexpr unsigned long long kDefaultOpsLimit = 2;
inline constexpr std::size_t kDefaultMemLimit = 19u * 1024u * 1024u;

/// A password in UTF-8, wiped when it goes out of scope. Its buffer is reserved up front
/// so that no copy is left behind by a reallocation.
struct SecretText {
  std::string text;
  SecretText() = default;
  ~SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
};

/// Converts a wide password of at most limit units; false when it is longer or not valid
/// UTF-16.
bool password_to_utf8(const WCHAR* password, std::size_t limit, SecretText& out);

/// Makes the hash text of a password with the current parameters; false when the memory
/// for it could not be had.
bool hash_password(std::string_view password, std::string& hash);

/// True when password matches hash, a hash of any of the forms above. A hash of another
/// form never matches, at the cost of a check of a current hash.
bool verify_password(const std::string& hash, std::string_view password);

/// Verifies as verify_password does, at the same cost: the password is hashed with the
/// stored hash's own salt and parameters and compared. For a wrong password attempt_key
/// gets that hash (binary), which recognises the same wrong password again and costs an
/// offline attacker what the account's own hash costs; empty when right, or when the
/// stored text is not one this can take apart (it is then verified as usual). For a crypt(3)
/// hash the key is crypt(3)'s output, for a salted SHA-2 the digest.
bool verify_password_keyed(const std::string& hash, std::string_view password,
                           std::string& attempt_key);

/// A key for a wrong password of an account whose hash lies elsewhere (a directory, a
/// domain): argon2id of the password at the current parameters, salted by the account's
/// key, so that it costs what a hash of the store costs.
std::string wrong_password_key(std::string_view account_key, std::string_view password);

/// The fixed hash verify_dummy uses, made on first need; call it before a logon looks
/// anything up, so that making it never adds to the cost of one kind of logon only.
std::string dummy_hash();

/// Verifies against a fixed hash made with the current parameters, so that a logon for an
/// account without a usable hash costs as much as one with it. Never matches.
void verify_dummy(std::string_view password);

/// True when hash is not an argon2id of the current parameters: another method (a hash
/// brought in) or older parameters.
bool hash_needs_renewal(const std::string& hash);

/// The method of a stored hash text ("argon2id", "argon2i", "sha512crypt", "bcrypt",
/// "ssha512", ...), or null when it is none of the forms above that this can verify.
const char* hash_method(const std::string& hash);

}  // namespace ostrel_posix
