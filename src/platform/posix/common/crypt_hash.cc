#include "platform/posix/common/crypt_hash.h"

#include <crypt.h>
#include <sodium.h>

#include <cstring>
#include <memory>
#include <thread>

#include "platform/platform.h"

namespace ostrel_posix {
namespace {

// The work area of crypt_rn is large; it holds what was derived from the password.
struct CryptArea {
  std::unique_ptr<crypt_data> data = std::make_unique<crypt_data>();
  CryptArea() { std::memset(data.get(), 0, sizeof(crypt_data)); }
  ~CryptArea() { secure_wipe(data.get(), sizeof(crypt_data)); }
};

std::int64_t since(HashCost::Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(HashCost::Clock::now() - start)
      .count();
}

}  // namespace

int crypt_check(const std::string& hash, std::string_view password, std::string* output) {
  // crypt(3) reads the password up to its NUL: one holding a NUL never matches.
  if (password.find('\0') != std::string_view::npos) return hash.empty() ? -1 : 0;
  const std::string text(password);
  CryptArea area;
  const char* out = crypt_rn(text.c_str(), hash.c_str(), area.data.get(), sizeof(crypt_data));
  if (out == nullptr || out[0] == '*') return -1;
  const std::size_t length = std::strlen(out);
  if (output != nullptr) output->assign(out, length);
  return length == hash.size() && sodium_memcmp(out, hash.data(), length) == 0 ? 1 : 0;
}

const char* crypt_method(std::string_view hash) {
  static const struct {
    const char* prefix;
    const char* method;
  } kMethods[] = {
      {"$y$", "yescrypt"},    {"$gy$", "gost-yescrypt"}, {"$7$", "scrypt"},  {"$2b$", "bcrypt"},
      {"$2y$", "bcrypt"},     {"$2a$", "bcrypt"},        {"$2x$", "bcrypt"}, {"$6$", "sha512crypt"},
      {"$5$", "sha256crypt"}, {"$sha1$", "sha1crypt"},   {"$md5", "sunmd5"}, {"$1$", "md5crypt"},
      {"_", "bsdicrypt"},
  };
  const std::string text(hash);
  const int checked = crypt_checksalt(text.c_str());
  if (checked != CRYPT_SALT_OK && checked != CRYPT_SALT_METHOD_LEGACY &&
      checked != CRYPT_SALT_TOO_CHEAP)
    return nullptr;
  for (const auto& m : kMethods)
    if (hash.starts_with(m.prefix)) return m.method;
  // The traditional DES form has no prefix: two salt characters and eleven of hash.
  if (hash.size() == 13 && hash[0] != '$') return "descrypt";
  return nullptr;
}

void HashCost::record(Clock::time_point start) {
  const std::int64_t ns = since(start);
  const std::int64_t old = ns_.load(std::memory_order_relaxed);
  ns_.store(old == 0 ? ns : old + (ns - old) / 4, std::memory_order_relaxed);
}

void HashCost::pad(Clock::time_point start) const {
  const std::int64_t left = ns_.load(std::memory_order_relaxed) - since(start);
  if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

}  // namespace ostrel_posix
