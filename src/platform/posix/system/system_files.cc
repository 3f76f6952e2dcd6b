#include "platform/posix/system/system_files.h"

#include <ctime>
#include <vector>

#include "platform/posix/system/file_commit.h"

namespace ostrel_posix {

DWORD SystemFiles::open(bool write, bool with_groups) {
  options = system_options();
  if (write) {
    std::vector<std::string> paths = {options.password_file};
    if (options.shadow) paths.push_back(options.shadow_file);
    paths.push_back(options.group_file);
    paths.push_back(options.gshadow_file);
    lock = std::make_unique<AccountFilesLock>(options.password_file, paths);
    if (const DWORD rc = lock->status(); rc != 0) return rc;
    if (const DWORD rc = recover_files(journal_path(options.password_file)); rc != 0) return rc;
  }
  if (const DWORD rc = read_account_file(options.password_file, passwd); rc != 0) return rc;
  if (options.shadow) {
    const DWORD rc = read_account_file(options.shadow_file, shadow);
    if (rc != 0 && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  if (with_groups) {
    DWORD rc = read_account_file(options.group_file, group);
    if (rc != 0 && rc != ERROR_FILE_NOT_FOUND) return rc;
    rc = read_account_file(options.gshadow_file, gshadow);
    if (rc != 0 && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  return 0;
}

DWORD SystemFiles::commit() {
  return commit_files({&passwd, &shadow, &group, &gshadow}, journal_path(options.password_file));
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
