// What ostrel-import reads: Dovecot passwd-files, lists of name:hash lines (an SQL export,
// /etc/shadow) and ostrel's own search output, each line turned into an account to take
// or a reason to skip it. No password is ever known: hashes are kept as they came.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace import {

/// An account as a line gives it. hash is in the store's form (hashing.h), or absent
/// when the line gives attributes only (search output).
struct Entry {
  std::string name;
  std::optional<std::string> hash;
  const char* method = nullptr;  // of hash: "sha512crypt", "argon2id", ...
  bool disabled = false;         // a hash locked with "!" in a shadow file
  std::optional<std::string> home;
  std::optional<std::string> comment;
  std::optional<std::string> script;
};

/// The outcome of one line: taken (entry filled), skipped (with a reason), or nothing
/// to take (blank, a comment, search's closing line).
enum class Line { kTaken, kSkipped, kEmpty };

/// Reads one line of a passwd-file, name:hash list or shadow file: the name is the first
/// field, the hash the second; a passwd-file's gecos and home (fields 5, 6) and shell (7)
/// become comment, home and script path. A hash with a Dovecot scheme prefix is taken when
/// the store verifies the scheme; one without is read as crypt(3) or argon2. Schemes that
/// are no hash (clear text, unsalted digests) are skipped with a reason that says so.
Line read_hash_line(std::string_view line, Entry* entry, std::string* reason);

/// Reads one line of search output ("+DATA <name> home="..." comment="..." script="..."").
Line read_search_line(std::string_view line, Entry* entry, std::string* reason);

/// True when the first line that is not blank or a comment is search output.
bool looks_like_search_output(std::string_view first_line);

}  // namespace import
