// One of the host's account files (passwd, shadow, group, gshadow) read whole into lines.
// Only the lines an operation changes are rewritten; every other line, comments and the
// "+"/"-" lines of NIS included, is written back byte for byte.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace ostrel_posix {

struct AccountFile {
  std::string path;
  bool exists = false;
  struct stat info {};
  std::vector<std::string> lines;  // without their newline
  bool final_newline = true;       // false when the last line had none
  bool changed = false;
};

/// Reads path into file. 0; ERROR_FILE_NOT_FOUND when there is none (file.exists false);
/// ERROR_ACCESS_DENIED when it is not a regular file (a symbolic link is refused);
/// ERROR_OPEN_FAILED when it cannot be opened (permissions); ERROR_IO_DEVICE when reading
/// fails; ERROR_NOT_ENOUGH_MEMORY.
DWORD read_account_file(const std::string& path, AccountFile& file);

/// Reads path up to the first entry named name (the line find_entry would find) and keeps
/// that line alone in file.lines, none when there is no such entry; the lines before it
/// are looked at only as far as their names, the ones after it are not read. Without a
/// name the file is only opened and checked. For reading one account: such a file is
/// never written back. Codes as read_account_file.
DWORD read_account_entry(const std::string& path, std::optional<std::string_view> name,
                         AccountFile& file);

/// The text the file would be written with.
std::string file_text(const AccountFile& file);

/// The index of the entry named name (compared exactly), or -1. Comments, empty lines and
/// NIS lines are never entries.
int find_entry(const AccountFile& file, std::string_view name);

/// True for a line that is an account or group entry.
bool is_entry(std::string_view line);

/// The name of an entry: its text up to the first colon.
std::string_view entry_name(std::string_view line);

/// The colon-separated fields of a line, at least count of them (missing ones empty).
std::vector<std::string> split_fields(std::string_view line, std::size_t count);
std::string join_fields(const std::vector<std::string>& fields);

/// Adds an entry at the end of the file, before the NIS lines that close it if any.
void insert_entry(AccountFile& file, std::string line);
void replace_entry(AccountFile& file, int index, std::string line);
void remove_entry(AccountFile& file, int index);

/// A comma-separated member list with name added or removed; false when nothing changed.
bool add_member(std::string& list, std::string_view name);
bool remove_member(std::string& list, std::string_view name);

}  // namespace ostrel_posix
