#include "platform/posix/system/system_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/posix/system/file_commit.h"

namespace ostrel_posix {
namespace {

constexpr unsigned long kDefaultUidMin = 1000, kDefaultUidMax = 60000;

// The file beside the password file that keeps the highest uid handed out: read, and made
// (empty, with the password file's mode) when missing, so that a change can replace it.
DWORD read_last_uid(const SystemOptions& options, const AccountFile& passwd, AccountFile& file) {
  const std::string path = options.password_file + ".ostrel-last-uid";
  DWORD rc = read_account_file(path, file);
  if (rc != ERROR_FILE_NOT_FOUND) return rc;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        passwd.info.st_mode & 0644);
  if (fd < 0) return ERROR_OPEN_FAILED;
  ::close(fd);
  return read_account_file(path, file);
}

// A file that must be there is an outage when it is missing.
DWORD required(DWORD rc) {
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_OPEN_FAILED : rc;
}

// The numbers of keys in login.defs beside the password file, read in one pass: the first
// line whose first word is the key and whose second word is a number sets it; the others
// keep what they hold.
void read_login_defs(const SystemOptions& options, std::size_t count, const char* const* keys,
                     unsigned long* numbers) {
  const std::string path = directory_of(options.password_file) + "/login.defs";
  std::FILE* in = std::fopen(path.c_str(), "re");
  if (in == nullptr) return;
  std::vector<bool> found(count, false);
  char* text = nullptr;
  std::size_t capacity = 0;
  constexpr const char* kBlanks = " \t\n\v\f\r";
  for (ssize_t length; (length = getline(&text, &capacity, in)) >= 0;) {
    const std::string_view line(text, static_cast<std::size_t>(length));
    const std::size_t word_at = line.find_first_not_of(kBlanks);
    if (word_at == std::string_view::npos) continue;
    const std::size_t word_end = std::min(line.find_first_of(kBlanks, word_at), line.size());
    const std::size_t value_at = line.find_first_not_of(kBlanks, word_end);
    if (value_at == std::string_view::npos) continue;
    const std::size_t value_end = std::min(line.find_first_of(kBlanks, value_at), line.size());
    const std::string_view word = line.substr(word_at, word_end - word_at);
    const std::string_view value = line.substr(value_at, value_end - value_at);
    for (std::size_t i = 0; i < count; ++i) {
      unsigned long number = 0;
      if (!found[i] && word == keys[i] && plain_number(value, number)) {
        numbers[i] = number;
        found[i] = true;
      }
    }
  }
  std::free(text);
  std::fclose(in);
}

}  // namespace

unsigned long login_defs_number(const SystemOptions& options, const char* key,
                                unsigned long fallback) {
  read_login_defs(options, 1, &key, &fallback);
  return fallback;
}

UidRange managed_range(const SystemOptions& options) {
  // One read of login.defs for both ends: it is read for every command.
  const char* const keys[] = {"UID_MIN", "UID_MAX"};
  unsigned long numbers[] = {kDefaultUidMin, kDefaultUidMax};
  read_login_defs(options, options.base_uid ? 1 : 2, options.base_uid ? keys + 1 : keys,
                  options.base_uid ? numbers + 1 : numbers);
  UidRange range;
  range.first = options.base_uid.value_or(numbers[0]);
  if (range.first == 0) range.first = 1;
  range.last = numbers[1];
  return range;
}

bool plain_number(std::string_view text, unsigned long& number) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 0xFFFFFFFEull) return false;  // (uid_t)-1 is no uid
  number = static_cast<unsigned long>(value);
  return true;
}

bool managed_entry(std::string_view line, const UidRange& range) {
  if (!is_entry(line)) return false;
  const auto fields = split_fields(line, 4);
  unsigned long uid = 0, gid = 0;
  return plain_number(fields[2], uid) && plain_number(fields[3], gid) && range.contains(uid);
}

int SystemFiles::find_account(std::string_view name, bool* foreign) const {
  const int at = find_entry(passwd, name);
  const bool managed = at >= 0 && managed_entry(passwd.lines[static_cast<std::size_t>(at)], range);
  if (foreign != nullptr) *foreign = at >= 0 && !managed;
  return managed ? at : -1;
}

int SystemFiles::shadow_entry(std::string_view name) const {
  return find_entry(shadow, name);
}

int SystemFiles::shadow_of(int passwd_index) const {
  if (!shadow_at_.empty()) return shadow_at_[static_cast<std::size_t>(passwd_index)];
  return shadow_entry(entry_name(passwd.lines[static_cast<std::size_t>(passwd_index)]));
}

void SystemFiles::index_shadow() {
  shadow_at_.assign(passwd.lines.size(), -1);
  // The host's tools keep both files in the same order: the next shadow entry is tried
  // first, and a table by name (the first entry of a name) only made when one is out of
  // step.
  std::unordered_map<std::string_view, int> by_name;
  std::size_t next = 0;
  for (std::size_t i = 0; i < passwd.lines.size(); ++i) {
    if (!is_entry(passwd.lines[i])) continue;
    const std::string_view name = entry_name(passwd.lines[i]);
    while (next < shadow.lines.size() && !is_entry(shadow.lines[next])) ++next;
    if (next < shadow.lines.size() && entry_name(shadow.lines[next]) == name) {
      shadow_at_[i] = static_cast<int>(next++);
      continue;
    }
    if (by_name.empty())
      for (std::size_t k = 0; k < shadow.lines.size(); ++k)
        if (is_entry(shadow.lines[k]))
          by_name.emplace(entry_name(shadow.lines[k]), static_cast<int>(k));
    const auto it = by_name.find(name);
    shadow_at_[i] = it == by_name.end() ? -1 : it->second;
  }
}

DWORD SystemFiles::open(bool write, bool with_groups) {
  options = system_options();
  range = managed_range(options);
  if (write) {
    std::vector<std::string> paths = {options.password_file};
    if (options.shadow) paths.push_back(options.shadow_file);
    paths.push_back(options.group_file);
    paths.push_back(options.gshadow_file);
    lock = std::make_unique<AccountFilesLock>(options.password_file, paths);
    if (const DWORD rc = lock->status(); rc != 0) return rc;
    if (const DWORD rc = recover_files(journal_path(options.password_file)); rc != 0) return rc;
  }
  // An account file that cannot be read is an outage, never an account that is missing
  // or has no password.
  if (const DWORD rc = read_account_file(options.password_file, passwd); rc != 0)
    return required(rc);
  if (options.shadow) {
    if (const DWORD rc = read_account_file(options.shadow_file, shadow); rc != 0)
      return required(rc);
  }
  if (write && with_groups)
    if (const DWORD rc = read_last_uid(options, passwd, last_uid); rc != 0) return rc;
  if (with_groups) {
    DWORD rc = read_account_file(options.group_file, group);
    if (rc != 0 && rc != ERROR_FILE_NOT_FOUND) return rc;
    rc = read_account_file(options.gshadow_file, gshadow);
    if (rc != 0 && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  return 0;
}

DWORD SystemFiles::open_account(std::string_view name) {
  options = system_options();
  range = managed_range(options);
  one_account_ = true;
  if (const DWORD rc = read_account_entry(options.password_file, name, passwd); rc != 0)
    return required(rc);
  if (!options.shadow) return 0;
  // The shadow file is opened whether or not the account is there: one that cannot be read
  // is an outage for every name.
  std::optional<std::string_view> wanted;
  if (find_account(name) >= 0) wanted = name;
  return required(read_account_entry(options.shadow_file, wanted, shadow));
}

DWORD SystemFiles::read_history() {
  const DWORD rc = read_account_file(options.opasswd_file, opasswd);
  if (rc != ERROR_FILE_NOT_FOUND) return rc;
  const int fd = ::open(options.opasswd_file.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return ERROR_OPEN_FAILED;
  ::close(fd);
  return read_account_file(options.opasswd_file, opasswd);
}

DWORD SystemFiles::commit() {
  if (one_account_) return NERR_InternalError;
  return commit_files({&passwd, &shadow, &group, &gshadow, &last_uid, &opasswd},
                      journal_path(options.password_file));
}

long today_in_days() {
  return static_cast<long>(std::time(nullptr) / 86400);
}

bool valid_unix_name(std::u16string_view name) {
  if (name.empty() || name.size() > 32 || name == u"." || name == u"..") return false;
  if (name[0] == u'-') return false;
  bool only_digits = true;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    const bool digit = c >= u'0' && c <= u'9';
    if (!digit) only_digits = false;
    if (letter || digit || c == u'_' || c == u'.' || c == u'-') continue;
    if (c == u'$' && i + 1 == name.size() && i > 0) continue;
    return false;
  }
  return !only_digits;
}

bool valid_field_text(std::string_view text) {
  for (const char c : text)
    if (c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

DWORD check_unix_fields(const UserFields& fields, DWORD& parm_index) {
  if (fields.has_home_dir && !valid_field_text(fields.home_dir))
    parm_index = kParmHomeDir;
  else if (fields.has_comment && !valid_field_text(fields.comment))
    parm_index = kParmComment;
  else if (fields.has_script_path && !valid_field_text(fields.script_path))
    parm_index = kParmScriptPath;
  else
    return 0;
  return ERROR_INVALID_PARAMETER;
}

}  // namespace ostrel_posix
