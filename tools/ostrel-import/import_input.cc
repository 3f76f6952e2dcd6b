#include "import_input.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/posix/common/hashing.h"

namespace import {
namespace {

// The Dovecot schemes whose text is a crypt(3) hash, and those that are not hashes at all:
// the password itself, or an unsalted digest of it that a table of known passwords undoes.
constexpr std::string_view kCryptSchemes[] = {"CRYPT",        "DES-CRYPT",    "MD5-CRYPT", "MD5",
                                              "SHA256-CRYPT", "SHA512-CRYPT", "BLF-CRYPT"};
constexpr std::string_view kNotHashes[] = {
    "PLAIN",  "CLEARTEXT", "PLAIN-TRUNC", "PLAIN-MD4", "PLAIN-MD5",  "LDAP-MD5", "SHA",  "SHA1",
    "SHA256", "SHA512",    "CRAM-MD5",    "HMAC-MD5",  "DIGEST-MD5", "LANMAN",   "NTLM", "RPA"};

bool one_of(std::string_view word, const std::string_view* list, std::size_t n) {
  return std::find(list, list + n, word) != list + n;
}

std::vector<std::string_view> split(std::string_view line, char separator) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = line.find(separator, start);
    fields.push_back(line.substr(start, at - start));
    if (at == std::string_view::npos) return fields;
    start = at + 1;
  }
}

bool number_or_empty(std::string_view field) {
  return std::all_of(field.begin(), field.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// A shadow line: nine fields, the third to the eighth day counts or empty.
bool shadow_shaped(const std::vector<std::string_view>& f) {
  if (f.size() != 9) return false;
  for (std::size_t i = 2; i < 8; ++i)
    if (!number_or_empty(f[i]) && f[i] != "-1") return false;
  return true;
}

// Takes text into the store's form when the store verifies it: entry->hash and method.
bool take_hash(const std::string& stored, Entry* entry, std::string* reason, const char* unusable) {
  const char* method = ostrel_posix::hash_method(stored);
  if (method == nullptr) {
    *reason = unusable;
    return false;
  }
  entry->hash = stored;
  entry->method = method;
  return true;
}

// A hash field: {SCHEME}text, or a bare crypt(3) or argon2 text.
bool read_hash(std::string_view field, Entry* entry, std::string* reason) {
  if (!field.starts_with("{")) {
    if (field.starts_with("$argon2id$"))
      return take_hash(std::string(field), entry, reason,
                       "not an argon2id hash the store verifies");
    if (field.starts_with("$argon2i$"))
      return take_hash("{ARGON2I}" + std::string(field), entry, reason,
                       "not an argon2i hash the store verifies");
    return take_hash("{CRYPT}" + std::string(field), entry, reason,
                     "a hash of a method the store does not verify");
  }
  const std::size_t close = field.find('}');
  if (close == std::string_view::npos) {
    *reason = "a scheme prefix without its closing brace";
    return false;
  }
  std::string scheme(field.substr(1, close - 1));
  for (char& c : scheme) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string_view text = field.substr(close + 1);
  const std::string_view base = std::string_view(scheme).substr(0, scheme.find('.'));
  if (one_of(base, kNotHashes, std::size(kNotHashes))) {
    *reason = "not a hash: scheme " + scheme + " keeps the password or an unsalted digest of it";
    return false;
  }
  if (base.size() != scheme.size()) {
    *reason = "scheme " + scheme + ": encoded forms are not taken";
    return false;
  }
  if (one_of(scheme, kCryptSchemes, std::size(kCryptSchemes)))
    return take_hash("{CRYPT}" + std::string(text), entry, reason,
                     "a crypt(3) hash of a method the store does not verify");
  if (scheme == "ARGON2ID" || scheme == "ARGON2I" || scheme == "ARGON2")
    return text.starts_with("$argon2i$") ? take_hash("{ARGON2I}" + std::string(text), entry, reason,
                                                     "not an argon2 hash the store verifies")
                                         : take_hash(std::string(text), entry, reason,
                                                     "not an argon2 hash the store verifies");
  if (scheme == "SSHA256" || scheme == "SSHA512")
    return take_hash("{" + scheme + "}" + std::string(text), entry, reason,
                     "not a salted SHA-2 hash of a salt of 4 bytes or more");
  *reason = "scheme " + scheme + ": a method the store does not verify";
  return false;
}

}  // namespace

Line read_hash_line(std::string_view line, Entry* entry, std::string* reason) {
  *entry = Entry();
  if (line.empty() || line.front() == '#') return Line::kEmpty;
  const std::vector<std::string_view> f = split(line, ':');
  entry->name = std::string(f[0]);
  if (f.size() < 2 || f[0].empty()) {
    *reason = "not a line of name:hash";
    return Line::kSkipped;
  }
  std::string_view hash = f[1];
  if (hash.empty()) {
    *reason = "no password hash (an empty field)";
    return Line::kSkipped;
  }
  if (hash == "x") {
    *reason = "no password hash here (x: it is in the shadow file)";
    return Line::kSkipped;
  }
  // A shadow file locks a password with a leading "!": the account comes in disabled. "*"
  // and "!" alone (or "!!", "!*") hold no password at all.
  const std::size_t unlocked = std::min(hash.find_first_not_of('!'), hash.size());
  if (unlocked == hash.size() || hash[unlocked] == '*') {
    *reason = "no password hash (" + std::string(hash) + ")";
    return Line::kSkipped;
  }
  entry->disabled = unlocked > 0;
  hash.remove_prefix(unlocked);
  if (!read_hash(hash, entry, reason)) return Line::kSkipped;
  // A passwd-file's user:password:uid:gid:gecos:home:shell:extra, not a shadow line.
  if (f.size() >= 6 && !shadow_shaped(f)) {
    if (!f[4].empty()) entry->comment = std::string(f[4]);
    if (!f[5].empty()) entry->home = std::string(f[5]);
    if (f.size() >= 7 && !f[6].empty()) entry->script = std::string(f[6]);
  }
  return Line::kTaken;
}

Line read_search_line(std::string_view line, Entry* entry, std::string* reason) {
  *entry = Entry();
  if (line.empty() || line.front() == '#' || line.starts_with("+OK")) return Line::kEmpty;
  if (!line.starts_with("+DATA ")) {
    *reason = "not a line of search output";
    return Line::kSkipped;
  }
  line.remove_prefix(6);
  // A name holds no quote, so it ends where the first attribute word begins.
  std::size_t end = line.size();
  for (const std::string_view word : {" home=\"", " comment=\"", " script=\""})
    end = std::min(end, line.find(word));
  entry->name = std::string(line.substr(0, end));
  std::string_view rest = line.substr(end);
  while (!rest.empty()) {
    const std::size_t equals = rest.find("=\"");
    const std::size_t close =
        equals == std::string_view::npos ? equals : rest.find('"', equals + 2);
    if (rest.front() != ' ' || close == std::string_view::npos) {
      *reason = "an attribute that is not word=\"value\"";
      return Line::kSkipped;
    }
    const std::string_view key = rest.substr(1, equals - 1);
    std::string value(rest.substr(equals + 2, close - equals - 2));
    if (key == "home")
      entry->home = std::move(value);
    else if (key == "comment")
      entry->comment = std::move(value);
    else if (key == "script")
      entry->script = std::move(value);
    rest.remove_prefix(close + 1);
  }
  if (entry->name.empty()) {
    *reason = "no name";
    return Line::kSkipped;
  }
  return Line::kTaken;
}

bool looks_like_search_output(std::string_view first_line) {
  return first_line.starts_with("+DATA ") || first_line.starts_with("+OK");
}

}  // namespace import
