#include "platform/posix/system/unix_hash.h"

#include <crypt.h>

#include "platform/posix/common/crypt_hash.h"

namespace ostrel_posix {
namespace {

using Clock = std::chrono::steady_clock;

// What a check of a new hash costs here: first the making of the fixed hash, then a
// running mean over the checks against it.
HashCost hash_cost;

const std::string& dummy() {
  static const std::string made = [] {
    std::string hash;
    const Clock::time_point start = Clock::now();
    if (!make_unix_hash("ostrel dummy password", hash)) return std::string();
    hash_cost.record(start);
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
  return crypt_check(setting, password, &hash) >= 0;
}

bool unix_hash_matches(const std::string& hash, const std::string& password, std::string* attempt) {
  if (attempt != nullptr) attempt->clear();
  const Clock::time_point start = Clock::now();
  std::string made;
  const int checked = crypt_check(hash.empty() ? dummy() : hash, password, &made);
  // A check of a hash of the current method and cost counts towards what refusals cost.
  if (checked >= 0 && !unix_hash_outdated(hash)) hash_cost.record(start);
  if (checked < 0) crypt_check(dummy(), password);
  const bool right = checked == 1 && !hash.empty();
  if (attempt != nullptr && checked == 0 && !hash.empty()) *attempt = std::move(made);
  return right;
}

void prepare_unix_dummy() {
  dummy();
}

void unix_verify_dummy(const std::string& password) {
  const Clock::time_point start = Clock::now();
  crypt_check(dummy(), password);
  hash_cost.record(start);
}

void pad_to_hash_cost(Clock::time_point start) {
  hash_cost.pad(start);
}

bool unix_hash_outdated(const std::string& hash) {
  const std::string_view wanted = setting_prefix(dummy());
  return wanted.empty() || setting_prefix(hash) != wanted;
}

}  // namespace ostrel_posix
