#include "platform/posix/common/password_policy.h"

#include <nettle/sha1.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/posix/common/trusted_files.h"

namespace ostrel_posix {
namespace {

std::mutex policy_mutex;
PasswordPolicy current;
void (*password_reporter)(const char* account, const char* rule) = nullptr;

constexpr std::size_t kHexDigits = 40;
// The longest line looked at: a hash, a colon, a count and a line end.
constexpr std::size_t kLineBytes = 128;
// Below this many bytes the rest of the range is read in one go and scanned.
constexpr off_t kScanBytes = 4096;

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool contains_folded(std::string_view text, std::string_view part) {
  if (part.empty() || part.size() > text.size()) return false;
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < part.size() && ascii_lower(text[i + k]) == ascii_lower(part[k])) ++k;
    if (k == part.size()) return true;
  }
  return false;
}

// Characters (code points) of a UTF-8 text.
std::size_t characters(std::string_view text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The hash of the line at the start of bytes (count bytes of the file from there, the file
// ending there when at_end), upper-cased into key, and the length of the line with its end.
// False when the line is not a hash in hex followed by ':' or the line's end.
bool parse_line(const char* bytes, std::size_t count, bool at_end, char* key, std::size_t& length) {
  if (count < kHexDigits) return false;
  for (std::size_t i = 0; i < kHexDigits; ++i) {
    if (!is_hex(bytes[i])) return false;
    key[i] = bytes[i] >= 'a' ? static_cast<char>(bytes[i] - 'a' + 'A') : bytes[i];
  }
  if (count > kHexDigits && bytes[kHexDigits] != ':' && bytes[kHexDigits] != '\r' &&
      bytes[kHexDigits] != '\n')
    return false;
  const void* end = std::memchr(bytes + kHexDigits, '\n', count - kHexDigits);
  if (end == nullptr) {
    if (!at_end) return false;  // longer than any line of such a list
    length = count;
  } else {
    length = static_cast<std::size_t>(static_cast<const char*>(end) - bytes) + 1;
  }
  return true;
}

// Binary search of the sorted lines of one open list.
class ListSearch {
 public:
  ListSearch(int fd, off_t size, const std::string& path) : fd_(fd), size_(size), path_(path) {}

  DWORD find(const char* wanted, bool& listed) {
    listed = false;
    off_t lo = 0, hi = size_;  // the wanted line, if listed, starts in [lo, hi)
    char key[kHexDigits];
    char buffer[kLineBytes];
    while (hi - lo > kScanBytes) {
      const off_t mid = lo + (hi - lo) / 2;
      // The first line that starts at mid or after it.
      std::size_t got = 0;
      if (const DWORD rc = read_at(mid - 1, buffer, sizeof buffer, got); rc != 0) return rc;
      const void* newline = std::memchr(buffer, '\n', got);
      if (newline == nullptr && mid - 1 + static_cast<off_t>(got) != size_) return malformed();
      const off_t start =
          newline == nullptr ? size_ : mid + (static_cast<const char*>(newline) - buffer);
      if (start >= hi) {
        hi = mid;
        continue;
      }
      if (const DWORD rc = read_at(start, buffer, sizeof buffer, got); rc != 0) return rc;
      std::size_t length = 0;
      if (!parse_line(buffer, got, start + static_cast<off_t>(got) == size_, key, length))
        return malformed();
      const int order = std::memcmp(key, wanted, kHexDigits);
      if (order == 0) {
        listed = true;
        return 0;
      }
      if (order < 0) {
        lo = start + static_cast<off_t>(length);
      } else {
        hi = start;
      }
    }
    // The lines that start in [lo, hi), the last one read whole.
    const off_t end = std::min<off_t>(size_, hi + static_cast<off_t>(kLineBytes));
    std::string block(static_cast<std::size_t>(end - lo), '\0');
    std::size_t got = 0;
    if (const DWORD rc = read_at(lo, block.data(), block.size(), got); rc != 0) return rc;
    std::size_t at = 0;
    while (lo + static_cast<off_t>(at) < hi && at < got) {
      std::size_t length = 0;
      if (!parse_line(block.data() + at, got - at, lo + static_cast<off_t>(got) == size_, key,
                      length))
        return malformed();
      const int order = std::memcmp(key, wanted, kHexDigits);
      if (order == 0) {
        listed = true;
        return 0;
      }
      if (order > 0) break;
      at += length;
    }
    return 0;
  }

 private:
  DWORD read_at(off_t offset, char* buffer, std::size_t count, std::size_t& got) {
    got = 0;
    while (got < count) {
      const ssize_t n = pread(fd_, buffer + got, count - got, offset + static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return ERROR_IO_DEVICE;
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return 0;
  }

  DWORD malformed() const {
    return refuse_file(path_, "not a sorted list of SHA-1 hashes in hex, one a line");
  }

  int fd_;
  off_t size_;
  const std::string& path_;
};

}  // namespace

PasswordPolicy password_policy() {
  std::lock_guard<std::mutex> lock(policy_mutex);
  return current;
}

DWORD refuse_password(std::string_view account, const std::string& rule) {
  if (password_reporter != nullptr) password_reporter(std::string(account).c_str(), rule.c_str());
  return NERR_PasswordTooShort;
}

std::string history_rule(unsigned history) {
  return history == 1 ? "the current password"
                      : "one of the last " + std::to_string(history) + " passwords";
}

const char* complexity_failure(std::string_view name, std::string_view password) {
  bool upper = false, lower = false, digit = false, other = false;
  for (const char c : password) {
    if (c >= 'A' && c <= 'Z') {
      upper = true;
    } else if (c >= 'a' && c <= 'z') {
      lower = true;
    } else if (c >= '0' && c <= '9') {
      digit = true;
    } else {
      other = true;
    }
  }
  if (upper + lower + digit + other < 3)
    return "not three of upper case, lower case, digits and other characters";
  if (characters(name) >= 3 && contains_folded(password, name)) return "holds the account name";
  const std::string_view local = name.substr(0, name.find('@'));
  std::size_t start = 0;
  while (start <= local.size()) {
    std::size_t end = local.find_first_of(".,-_# \t", start);
    if (end == std::string_view::npos) end = local.size();
    const std::string_view part = local.substr(start, end - start);
    if (characters(part) >= 3 && contains_folded(password, part))
      return "holds a part of the account name";
    start = end + 1;
  }
  return nullptr;
}

DWORD deny_list_lookup(const std::string& path, const unsigned char* digest, bool& listed) {
  listed = false;
  const char* reason = nullptr;
  const int fd = open_trusted_descriptor(path.c_str(), FileUse::kAccounts, &reason);
  if (fd < 0) return refuse_file(path, reason);
  struct stat status {};
  DWORD rc = 0;
  if (fstat(fd, &status) != 0) {
    rc = ERROR_IO_DEVICE;
  } else {
    static constexpr char kHex[] = "0123456789ABCDEF";
    char wanted[kHexDigits];
    for (std::size_t i = 0; i < kHexDigits / 2; ++i) {
      wanted[2 * i] = kHex[digest[i] >> 4];
      wanted[2 * i + 1] = kHex[digest[i] & 15];
    }
    rc = ListSearch(fd, status.st_size, path).find(wanted, listed);
    secure_wipe(wanted, sizeof wanted);
  }
  close(fd);
  return rc;
}

DWORD check_password_policy(const AccountName& name, std::string_view password) {
  const PasswordPolicy policy = password_policy();
  if (policy.min_length != 0 && characters(password) < policy.min_length)
    return refuse_password(name.text,
                           "shorter than " + std::to_string(policy.min_length) + " characters");
  if (policy.complexity) {
    if (const char* failure = complexity_failure(name.text, password); failure != nullptr)
      return refuse_password(name.text, failure);
  }
  if (policy.deny_list.empty()) return 0;
  sha1_ctx context;
  unsigned char digest[SHA1_DIGEST_SIZE];
  sha1_init(&context);
  sha1_update(&context, password.size(), reinterpret_cast<const uint8_t*>(password.data()));
  sha1_digest(&context, sizeof digest, digest);
  secure_wipe(&context, sizeof context);
  bool listed = false;
  const DWORD rc = deny_list_lookup(policy.deny_list, digest, listed);
  secure_wipe(digest, sizeof digest);
  if (rc != 0) return rc;
  return listed ? refuse_password(name.text, "in the list of breached passwords") : 0;
}

}  // namespace ostrel_posix

void platform_set_password_policy(const PlatformPasswordPolicy& given) {
  using namespace ostrel_posix;
  PasswordPolicy policy;
  policy.min_length = given.min_length;
  policy.complexity = given.complexity;
  policy.history = given.history;
  if (given.deny_list != nullptr) policy.deny_list = given.deny_list;
  std::lock_guard<std::mutex> lock(policy_mutex);
  current = policy;
}

void platform_set_password_reporter(void (*report)(const char* account, const char* rule)) {
  ostrel_posix::password_reporter = report;
}
