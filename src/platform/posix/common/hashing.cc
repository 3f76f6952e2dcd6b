#include "platform/posix/common/hashing.h"

#include <sodium.h>

#include <cstdio>
#include <mutex>

#include "platform/posix/common/utf.h"

namespace ostrel_posix {
namespace {

struct HashState {
  unsigned long long opslimit = kDefaultOpsLimit;
  std::size_t memlimit = kDefaultMemLimit;
  std::string dummy;  // made with the parameters above, on first need
};

std::mutex hash_mutex;
HashState hash_state;

bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

void current_limits(unsigned long long& opslimit, std::size_t& memlimit) {
  std::lock_guard<std::mutex> lock(hash_mutex);
  opslimit = hash_state.opslimit;
  memlimit = hash_state.memlimit;
}

bool make_hash(std::string_view password, unsigned long long opslimit, std::size_t memlimit,
               std::string& hash) {
  if (!sodium_ready()) return false;
  char text[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(text, password.data(), password.size(), opslimit, memlimit,
                            crypto_pwhash_ALG_ARGON2ID13) != 0)
    return false;
  hash = text;
  return true;
}

}  // namespace

SecretText::~SecretText() {
  sodium_memzero(text.data(), text.capacity());
}

bool password_to_utf8(const WCHAR* password, std::size_t limit, SecretText& out) {
  if (password == nullptr) return false;
  const std::size_t n = bounded_length(password, limit);
  if (n > limit) return false;
  out.text.reserve(n * 3 + 1);
  return utf16_to_utf8(std::u16string_view(password, n), out.text);
}

bool hash_password(std::string_view password, std::string& hash) {
  unsigned long long opslimit;
  std::size_t memlimit;
  current_limits(opslimit, memlimit);
  return make_hash(password, opslimit, memlimit, hash);
}

bool verify_password(const std::string& hash, std::string_view password) {
  if (!sodium_ready() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

namespace {

// The parts of "$argon2id$v=19$m=M,t=T,p=1$SALT$DIGEST": false for any other text.
bool argon2id_parts(const std::string& hash, unsigned long long& opslimit, std::size_t& memlimit,
                    std::string& salt, std::string& digest) {
  unsigned long m = 0, t = 0, p = 0;
  int consumed = 0;
  if (std::sscanf(hash.c_str(), "$argon2id$v=19$m=%lu,t=%lu,p=%lu$%n", &m, &t, &p, &consumed) !=
          3 ||
      consumed == 0 || p != 1)
    return false;
  const std::string rest = hash.substr(static_cast<std::size_t>(consumed));
  const std::size_t dollar = rest.find('$');
  if (dollar == std::string::npos) return false;
  auto decode = [](const std::string& text, std::string& out) {
    out.resize(text.size());
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.c_str(),
                          text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL_NO_PADDING) != 0)
      return false;
    out.resize(length);
    return true;
  };
  if (!decode(rest.substr(0, dollar), salt) || !decode(rest.substr(dollar + 1), digest))
    return false;
  opslimit = t;
  memlimit = static_cast<std::size_t>(m) * 1024;
  return salt.size() == crypto_pwhash_SALTBYTES && digest.size() >= crypto_pwhash_BYTES_MIN &&
         digest.size() <= 64;
}

}  // namespace

bool verify_password_keyed(const std::string& hash, std::string_view password,
                           std::string& attempt_key) {
  attempt_key.clear();
  unsigned long long opslimit = 0;
  std::size_t memlimit = 0;
  std::string salt, digest;
  if (!sodium_ready() || !argon2id_parts(hash, opslimit, memlimit, salt, digest))
    return verify_password(hash, password);
  std::string computed(digest.size(), '\0');
  if (crypto_pwhash(reinterpret_cast<unsigned char*>(computed.data()), computed.size(),
                    password.data(), password.size(),
                    reinterpret_cast<const unsigned char*>(salt.data()), opslimit, memlimit,
                    crypto_pwhash_ALG_ARGON2ID13) != 0)
    return false;
  const bool right = sodium_memcmp(computed.data(), digest.data(), digest.size()) == 0;
  if (!right) attempt_key = std::move(computed);
  return right;
}

std::string wrong_password_key(std::string_view account_key, std::string_view password) {
  unsigned long long opslimit;
  std::size_t memlimit;
  current_limits(opslimit, memlimit);
  if (!sodium_ready()) return {};
  unsigned char salt[crypto_pwhash_SALTBYTES];
  crypto_generichash(salt, sizeof salt, reinterpret_cast<const unsigned char*>(account_key.data()),
                     account_key.size(), nullptr, 0);
  std::string key(32, '\0');
  if (crypto_pwhash(reinterpret_cast<unsigned char*>(key.data()), key.size(), password.data(),
                    password.size(), salt, opslimit, memlimit, crypto_pwhash_ALG_ARGON2ID13) != 0)
    return {};
  return key;
}

std::string dummy_hash() {
  unsigned long long opslimit;
  std::size_t memlimit;
  {
    std::lock_guard<std::mutex> lock(hash_mutex);
    if (!hash_state.dummy.empty()) return hash_state.dummy;
    opslimit = hash_state.opslimit;
    memlimit = hash_state.memlimit;
  }
  if (!sodium_ready()) return {};
  // A verification costs what the parameters say, whatever the salt and digest hold: the
  // text is written out with random ones instead of hashing a password (a whole hash's
  // cost at the first logon of a process). A random digest matches no password.
  unsigned char salt[crypto_pwhash_SALTBYTES];
  unsigned char digest[32];
  randombytes_buf(salt, sizeof salt);
  randombytes_buf(digest, sizeof digest);
  char salt_text[sodium_base64_ENCODED_LEN(sizeof salt, sodium_base64_VARIANT_ORIGINAL_NO_PADDING)];
  char digest_text[sodium_base64_ENCODED_LEN(sizeof digest,
                                             sodium_base64_VARIANT_ORIGINAL_NO_PADDING)];
  sodium_bin2base64(salt_text, sizeof salt_text, salt, sizeof salt,
                    sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
  sodium_bin2base64(digest_text, sizeof digest_text, digest, sizeof digest,
                    sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
  const std::string dummy =
      std::string(crypto_pwhash_argon2id_STRPREFIX) + "v=19$m=" + std::to_string(memlimit / 1024) +
      ",t=" + std::to_string(opslimit) + ",p=1$" + salt_text + "$" + digest_text;
  std::lock_guard<std::mutex> lock(hash_mutex);
  if (hash_state.opslimit == opslimit && hash_state.memlimit == memlimit) hash_state.dummy = dummy;
  return dummy;
}

void verify_dummy(std::string_view password) {
  verify_password(dummy_hash(), password);
}

bool hash_needs_renewal(const std::string& hash) {
  unsigned long long opslimit;
  std::size_t memlimit;
  current_limits(opslimit, memlimit);
  if (!sodium_ready() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_needs_rehash(hash.c_str(), opslimit, memlimit) == 1;
}

}  // namespace ostrel_posix

void platform_set_hash_limits_for_tests(unsigned long long opslimit, std::size_t memlimit) {
  std::lock_guard<std::mutex> lock(ostrel_posix::hash_mutex);
  ostrel_posix::hash_state.opslimit = opslimit;
  ostrel_posix::hash_state.memlimit = memlimit;
  ostrel_posix::hash_state.dummy.clear();
}
