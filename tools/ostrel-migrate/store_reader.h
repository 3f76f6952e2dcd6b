// Reads every account and group membership of an Ostrel account store (the SQLite file of
// the embedded backend), without changing it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace migrate {

struct StoredAccount {
  std::string name;
  std::optional<std::string> hash;  // the libsodium hash string; absent: no password
  long long priv = 0;
  long long flags = 0;
  std::optional<std::string> home_dir;  // absent and empty differ
  std::optional<std::string> comment;
  std::optional<std::string> script_path;
};

struct Membership {
  std::string group;
  std::string account;
};

struct StoreContent {
  std::vector<StoredAccount> accounts;  // in name order
  std::vector<Membership> memberships;
};

/// Reads the store at path in one read transaction; false with a reason in *error when
/// the file is missing, unreadable or not an account store of a known layout.
bool read_store(const std::string& path, StoreContent* content, std::string* error);

}  // namespace migrate
