// crypt(3) checks through libxcrypt, shared by the backends that verify such hashes (the
// host's account files, hashes imported into the store), and the padding that makes a
// refusal cost what a check of the configured hash costs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel_posix {

/// Checks password against a crypt(3) hash: 1 when it matches, 0 when not, -1 when
/// crypt(3) cannot use the hash (no method it knows, a malformed setting). When output is
/// given it gets what crypt(3) made of the password with the hash's setting (a match: the
/// hash itself); the work area is wiped after use.
int crypt_check(const std::string& hash, std::string_view password, std::string* output = nullptr);

/// The method of a crypt(3) hash by its prefix ("sha512crypt", "bcrypt", ...), or null when
/// libxcrypt would not verify it: an unknown or disabled method, a malformed setting, or
/// an unsalted one (the NT hash).
const char* crypt_method(std::string_view hash);

/// What a check of the configured hash costs, measured as checks happen, and the wait
/// that brings a cheaper refusal up to it.
class HashCost {
 public:
  using Clock = std::chrono::steady_clock;
  /// Takes in the time of one check of the configured hash that began at start.
  void record(Clock::time_point start);
  /// False until a check was recorded.
  bool known() const { return ns_.load(std::memory_order_relaxed) != 0; }
  /// Waits until a refusal that began at start has taken as long as a check of the
  /// configured hash usually takes; one that took longer is not held.
  void pad(Clock::time_point start) const;

 private:
  std::atomic<std::int64_t> ns_{0};  // a running mean
};

}  // namespace ostrel_posix
