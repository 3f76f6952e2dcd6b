// Reads an account store file directly, as a check after the processes that used it are
// gone: its integrity, its kept count, its account names and the members of Guests.
#pragma once

#include <cctype>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

struct StoreContents {
  std::string integrity;  // "ok" for an intact file
  std::vector<std::string> foreign_key_problems;
  long counted = -1;                 // the kept count of accounts
  std::multiset<std::string> names;  // lower case; a name twice would show twice
  std::set<std::string> guests;      // names (lower case) that are members of Guests
};

/// Opens the file read-only; a file that cannot be opened gives empty contents.
StoreContents read_store(const std::filesystem::path& db_path);

inline std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
