#include "platform/posix/system/unix_hash.h"

#include <crypt.h>
#include <sodium.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

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

using Clock = std::chrono::steady_clock;

// What a check of a new hash costs here, in nanoseconds: first the making of the fixed
// hash, then a running mean over the checks against it.
std::atomic<std::int64_t> hash_cost_ns{0};

std::int64_t since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

void record_cost(std::int64_t ns) {
  const std::int64_t old = hash_cost_ns.load(std::memory_order_relaxed);
  hash_cost_ns.store(old == 0 ? ns : old + (ns - old) / 4, std::memory_order_relaxed);
}

const std::string& dummy() {
  static const std::string made = [] {
    std::string hash;
    const Clock::time_point start = Clock::now();
    if (!make_unix_hash("ostrel dummy password", hash)) return std::string();
    record_cost(since(start));
    return hash;
  }();
  return made;
}

// The method and cost part of a hash: "$id$params$" of "$id$params$salt$hash".
std::string_view setting_prefix(std::string_view hash) {
  std::size_t at = 0;
  for (int dollars = 0; dollars < 3; ++dollars) {
    at = hash.find('$', at);
    if (at == std::string_view::npos) return {};
    ++at;
  }
  return hash.substr(0, at);
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

bool unix_hash_matches(const std::string& hash, const std::string& password,
                       std::string* attempt) {
  if (attempt != nullptr) attempt->clear();
  CryptArea area;
  const Clock::time_point start = Clock::now();
  const char* out = crypt_into(area, password, hash.empty() ? dummy().c_str() : hash.c_str());
  // A check of a hash of the current method and cost counts towards what refusals cost.
  if (out != nullptr && !unix_hash_outdated(hash)) record_cost(since(start));
  if (out == nullptr || hash.empty()) {
    if (out == nullptr) crypt_into(area, password, dummy().c_str());
    return false;
  }
  const std::size_t length = std::strlen(out);
  const bool right = length == hash.size() && sodium_memcmp(out, hash.data(), length) == 0;
  if (!right && attempt != nullptr) attempt->assign(out, length);
  return right;
}

void prepare_unix_dummy() {
  dummy();
}

void unix_verify_dummy(const std::string& password) {
  CryptArea area;
  const Clock::time_point start = Clock::now();
  crypt_into(area, password, dummy().c_str());
  record_cost(since(start));
}

void pad_to_hash_cost(Clock::time_point start) {
  const std::int64_t left = hash_cost_ns.load(std::memory_order_relaxed) - since(start);
  if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

bool unix_hash_outdated(const std::string& hash) {
  const std::string_view wanted = setting_prefix(dummy());
  return wanted.empty() || setting_prefix(hash) != wanted;
}

}  // namespace ostrel_posix
