#include "platform/posix/common/hashing.h"

#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "platform/posix/common/crypt_hash.h"
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

namespace {

// What a check of a current argon2id hash costs: refusals of cheaper hashes wait for it.
HashCost current_cost;

constexpr std::string_view kArgon2iTag = "{ARGON2I}";
constexpr std::string_view kCryptTag = "{CRYPT}";
constexpr std::string_view kSsha256Tag = "{SSHA256}";
constexpr std::string_view kSsha512Tag = "{SSHA512}";
// libsodium reads an argon2 text to its end; longer salts and digests than its own
// (other tools write them) still fit this.
constexpr std::size_t kArgon2TextLimit = 512;
// A salted SHA-2 needs a salt of some length to be one.
constexpr std::size_t kSshaMinSalt = 4;

std::string_view after(const std::string& hash, std::string_view tag) {
  return hash.starts_with(tag) ? std::string_view(hash).substr(tag.size()) : std::string_view();
}

// "$argon2id$" or "$argon2i$", v=19, the three numbers, a salt of 8 bytes or more and a
// digest of 16 or more, as libsodium verifies them.
bool argon2_well_formed(std::string_view text, std::string_view prefix) {
  if (!text.starts_with(prefix) || text.size() >= kArgon2TextLimit) return false;
  const std::string copy(text.substr(prefix.size()));
  unsigned long m = 0, t = 0, p = 0;
  int consumed = 0;
  if (std::sscanf(copy.c_str(), "v=19$m=%lu,t=%lu,p=%lu$%n", &m, &t, &p, &consumed) != 3 ||
      consumed == 0 || m == 0 || t == 0 || p == 0)
    return false;
  const std::string_view rest = std::string_view(copy).substr(static_cast<std::size_t>(consumed));
  const std::size_t dollar = rest.find('$');
  if (dollar == std::string_view::npos) return false;
  unsigned char bytes[kArgon2TextLimit];
  std::size_t salt = 0, digest = 0;
  return sodium_base642bin(bytes, sizeof bytes, rest.data(), dollar, nullptr, &salt, nullptr,
                           sodium_base64_VARIANT_ORIGINAL_NO_PADDING) == 0 &&
         sodium_base642bin(bytes, sizeof bytes, rest.data() + dollar + 1, rest.size() - dollar - 1,
                           nullptr, &digest, nullptr,
                           sodium_base64_VARIANT_ORIGINAL_NO_PADDING) == 0 &&
         salt >= 8 && digest >= 16;
}

// Digest and salt of a salted SHA-2 text of digest_size; false when it is not one.
bool ssha_parts(std::string_view text, std::size_t digest_size, std::string& digest,
                std::string& salt) {
  std::string bytes(text.size(), '\0');
  std::size_t length = 0;
  if (text.empty() ||
      sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                        text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      length < digest_size + kSshaMinSalt)
    return false;
  digest = bytes.substr(0, digest_size);
  salt = bytes.substr(digest_size, length - digest_size);
  return true;
}

// SHA-2 of password followed by salt.
std::string salted_sha(std::string_view password, const std::string& salt, bool sha512) {
  std::string out(sha512 ? crypto_hash_sha512_BYTES : crypto_hash_sha256_BYTES, '\0');
  auto* digest = reinterpret_cast<unsigned char*>(out.data());
  const auto* pw = reinterpret_cast<const unsigned char*>(password.data());
  const auto* s = reinterpret_cast<const unsigned char*>(salt.data());
  if (sha512) {
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, pw, password.size());
    crypto_hash_sha512_update(&state, s, salt.size());
    crypto_hash_sha512_final(&state, digest);
    sodium_memzero(&state, sizeof state);
  } else {
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, pw, password.size());
    crypto_hash_sha256_update(&state, s, salt.size());
    crypto_hash_sha256_final(&state, digest);
    sodium_memzero(&state, sizeof state);
  }
  return out;
}

// Checks password against a salted SHA-2 text: 1, 0, or -1 when it is not one. A wrong
// password's digest goes to key.
int check_ssha(std::string_view text, std::string_view password, bool sha512, std::string* key) {
  std::string digest, salt;
  const std::size_t size = sha512 ? crypto_hash_sha512_BYTES : crypto_hash_sha256_BYTES;
  if (!ssha_parts(text, size, digest, salt)) return -1;
  std::string computed = salted_sha(password, salt, sha512);
  const bool right = sodium_memcmp(computed.data(), digest.data(), size) == 0;
  if (!right && key != nullptr) *key = std::move(computed);
  return right ? 1 : 0;
}

// Checks password against an argon2 text through libsodium: 1, 0, or -1 when it is none.
int check_argon2(std::string_view text, std::string_view password) {
  if (!sodium_ready() ||
      !(argon2_well_formed(text, "$argon2id$") || argon2_well_formed(text, "$argon2i$")))
    return -1;
  const std::string copy(text);
  return crypto_pwhash_str_verify(copy.c_str(), password.data(), password.size()) == 0 ? 1 : 0;
}

// A check of any stored form, without padding: 1, 0, or -1 when the text is none of them.
// A wrong password's key goes to key when asked and the form gives one.
int check_stored(const std::string& hash, std::string_view password, std::string* key) {
  if (hash.starts_with("$argon2")) return check_argon2(hash, password);
  if (const std::string_view body = after(hash, kArgon2iTag); !body.empty())
    return body.starts_with("$argon2i$") ? check_argon2(body, password) : -1;
  if (const std::string_view body = after(hash, kCryptTag); !body.empty()) {
    if (crypt_method(body) == nullptr) return -1;
    std::string made;
    const int checked = crypt_check(std::string(body), password, &made);
    if (checked == 0 && key != nullptr) *key = std::move(made);
    return checked;
  }
  if (const std::string_view body = after(hash, kSsha512Tag); !body.empty())
    return check_ssha(body, password, true, key);
  if (const std::string_view body = after(hash, kSsha256Tag); !body.empty())
    return check_ssha(body, password, false, key);
  return -1;
}

// Ends a refusal of a hash that is not a current argon2id: it waits until it has cost what a
// check of a current one costs (measured; a check of the dummy when nothing was measured yet).
void pad_refusal(HashCost::Clock::time_point start, std::string_view password) {
  if (current_cost.known())
    current_cost.pad(start);
  else
    verify_dummy(password);
}

}  // namespace

bool verify_password(const std::string& hash, std::string_view password) {
  const auto start = HashCost::Clock::now();
  const bool current = !hash_needs_renewal(hash);
  const int checked = check_stored(hash, password, nullptr);
  if (current) {
    current_cost.record(start);
  } else if (checked <= 0) {
    pad_refusal(start, password);
  }
  return checked == 1;
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
  if (!sodium_ready() || !argon2id_parts(hash, opslimit, memlimit, salt, digest)) {
    // A hash brought in: its own check gives the key (crypt(3)'s output, a SHA-2 digest).
    if (hash.starts_with("$argon2")) return verify_password(hash, password);
    const auto start = HashCost::Clock::now();
    const int checked = check_stored(hash, password, &attempt_key);
    if (checked <= 0) pad_refusal(start, password);
    if (checked != 0) attempt_key.clear();
    return checked == 1;
  }
  const auto start = HashCost::Clock::now();
  const bool current = !hash_needs_renewal(hash);
  std::string computed(digest.size(), '\0');
  if (crypto_pwhash(reinterpret_cast<unsigned char*>(computed.data()), computed.size(),
                    password.data(), password.size(),
                    reinterpret_cast<const unsigned char*>(salt.data()), opslimit, memlimit,
                    crypto_pwhash_ALG_ARGON2ID13) != 0)
    return false;
  const bool right = sodium_memcmp(computed.data(), digest.data(), digest.size()) == 0;
  if (current) current_cost.record(start);
  if (!right) attempt_key = std::move(computed);
  if (!right && !current) pad_refusal(start, password);
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
  if (!sodium_ready() || !argon2_well_formed(hash, "$argon2id$")) return true;
  return crypto_pwhash_str_needs_rehash(hash.c_str(), opslimit, memlimit) != 0;
}

const char* hash_method(const std::string& hash) {
  if (argon2_well_formed(hash, "$argon2id$")) return "argon2id";
  if (argon2_well_formed(after(hash, kArgon2iTag), "$argon2i$")) return "argon2i";
  if (const std::string_view body = after(hash, kCryptTag); !body.empty())
    return crypt_method(body);
  std::string digest, salt;
  if (ssha_parts(after(hash, kSsha512Tag), crypto_hash_sha512_BYTES, digest, salt))
    return "ssha512";
  if (ssha_parts(after(hash, kSsha256Tag), crypto_hash_sha256_BYTES, digest, salt))
    return "ssha256";
  return nullptr;
}

}  // namespace ostrel_posix

void platform_set_hash_limits_for_tests(unsigned long long opslimit, std::size_t memlimit) {
  std::lock_guard<std::mutex> lock(ostrel_posix::hash_mutex);
  ostrel_posix::hash_state.opslimit = opslimit;
  ostrel_posix::hash_state.memlimit = memlimit;
  ostrel_posix::hash_state.dummy.clear();
}
