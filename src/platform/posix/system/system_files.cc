#include "platform/posix/system/system_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>
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

}  // namespace

unsigned long login_defs_number(const SystemOptions& options, const char* key,
                                unsigned long fallback) {
  std::ifstream in(directory_of(options.password_file) + "/login.defs");
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string word, value;
    unsigned long number = 0;
    if (words >> word >> value && word == key && plain_number(value, number)) return number;
  }
  return fallback;
}

UidRange managed_range(const SystemOptions& options) {
  UidRange range;
  range.first = options.base_uid.value_or(login_defs_number(options, "UID_MIN", kDefaultUidMin));
  if (range.first == 0) range.first = 1;
  range.last = login_defs_number(options, "UID_MAX", kDefaultUidMax);
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
  if (shadow_index_.empty()) return find_entry(shadow, name);
  const auto it = shadow_index_.find(name);
  return it == shadow_index_.end() ? -1 : it->second;
}

void SystemFiles::index_shadow() {
  shadow_index_.clear();
  // The first entry of a name counts, as find_entry finds it.
  for (std::size_t i = 0; i < shadow.lines.size(); ++i)
    if (is_entry(shadow.lines[i]))
      shadow_index_.emplace(entry_name(shadow.lines[i]), static_cast<int>(i));
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

DWORD SystemFiles::commit() {
  return commit_files({&passwd, &shadow, &group, &gshadow, &last_uid},
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
