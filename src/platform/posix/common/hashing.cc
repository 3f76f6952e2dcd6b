#include "platform/posix/common/hashing.h"

#include <sodium.h>

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
