#include "platform/posix/system/unix_hash.h"

#include <crypt.h>
#include <sodium.h>

#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace ostrel_posix {
namespace {

// The work area of crypt_rn is large; it holds what was derived from the password and is
// wiped after each use.
struct CryptArea {
  std::unique_ptr<crypt_data> data = std::make_unique<crypt_data>();
  CryptArea() { std::memset(data.get(), 0, sizeof(crypt_data)); }
  ~CryptArea() { secure_wipe(data.get(), sizeof(crypt_data)); }
};

// The result of crypt_rn, or null when the setting is unusable.
const char* crypt_into(CryptArea& area, const std::string& password, const char* setting) {
  const char* out = crypt_rn(password.c_str(), setting, area.data.get(), sizeof(crypt_data));
  return out == nullptr || out[0] == '*' ? nullptr : out;
}

const std::string& dummy() {
  static const std::string made = [] {
    std::string hash;
    return make_unix_hash("ostrel dummy password", hash) ? hash : std::string();
  }();
  return made;
}

}  // namespace

bool make_unix_hash(const std::string& password, std::string& hash) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return false;
  CryptArea area;
  const char* out = crypt_into(area, password, setting);
  if (out == nullptr) return false;
  hash = out;
  return true;
}

bool unix_hash_matches(const std::string& hash, const std::string& password) {
  CryptArea area;
  const char* out = crypt_into(area, password, hash.empty() ? dummy().c_str() : hash.c_str());
  if (out == nullptr || hash.empty()) {
    if (out == nullptr) crypt_into(area, password, dummy().c_str());
    return false;
  }
  const std::size_t length = std::strlen(out);
  return length == hash.size() && sodium_memcmp(out, hash.data(), length) == 0;
}

void prepare_unix_dummy() {
  dummy();
}

void unix_verify_dummy(const std::string& password) {
  CryptArea area;
  crypt_into(area, password, dummy().c_str());
}

}  // namespace ostrel_posix
