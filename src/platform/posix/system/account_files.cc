#include "platform/posix/system/account_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace ostrel_posix {

namespace {

// Opens path for reading as an account file: a regular file, reached without following a
// symbolic link. 0 with the descriptor in fd (file.path and file.info set), or
// read_account_file's codes.
DWORD open_account_file(const std::string& path, AccountFile& file, int& fd) {
  file = AccountFile{};
  file.path = path;
  fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ERROR_FILE_NOT_FOUND;
    return errno == ELOOP ? ERROR_ACCESS_DENIED : ERROR_OPEN_FAILED;
  }
  if (fstat(fd, &file.info) != 0 || !S_ISREG(file.info.st_mode)) return ERROR_ACCESS_DENIED;
  return 0;
}

// The read size of read_account_entry: the whole file when it is small.
constexpr off_t kMinimumChunk = 4096, kLargestChunk = 65536;

// read(2) that goes on after an interruption: the byte count, or -1.
ssize_t read_some(int fd, char* to, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, to, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// True when line is the entry named name, by is_entry and entry_name; the first bytes
// decide for nearly every line.
bool entry_named(std::string_view line, std::string_view name) {
  return line.size() >= name.size() && line.compare(0, name.size(), name) == 0 && is_entry(line) &&
         entry_name(line) == name;
}

}  // namespace

DWORD read_account_file(const std::string& path, AccountFile& file) {
  int fd = -1;
  DWORD rc = open_account_file(path, file, fd);
  if (fd < 0) return rc;
  std::string text;
  try {
    char buffer[16384];
    while (rc == 0) {
      const ssize_t n = read_some(fd, buffer, sizeof buffer);
      if (n < 0) rc = ERROR_IO_DEVICE;
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    if (rc == 0) {
      std::size_t start = 0;
      while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
          file.lines.push_back(text.substr(start));
          file.final_newline = false;
          break;
        }
        file.lines.push_back(text.substr(start, end - start));
        start = end + 1;
      }
    }
  } catch (const std::bad_alloc&) {
    rc = ERROR_NOT_ENOUGH_MEMORY;
  }
  ::close(fd);
  file.exists = rc == 0;
  return rc;
}

DWORD read_account_entry(const std::string& path, std::optional<std::string_view> name,
                         AccountFile& file) {
  int fd = -1;
  DWORD rc = open_account_file(path, file, fd);
  if (fd < 0) return rc;
  try {
    // Whole lines are looked at in the buffer; a line that is not whole yet is moved to its
    // front before the next read, and the buffer grows for a line longer than itself.
    std::size_t size = static_cast<std::size_t>(
        std::clamp<off_t>(file.info.st_size + 1, kMinimumChunk, kLargestChunk));
    std::unique_ptr<char[]> buffer(name ? new char[size] : nullptr);
    std::size_t begin = 0, end = 0;
    bool at_end = !name;
    while (rc == 0) {
      const char* newline =
          begin < end ? static_cast<const char*>(std::memchr(&buffer[begin], '\n', end - begin))
                      : nullptr;
      if (newline != nullptr || (at_end && begin < end)) {
        const std::size_t stop = newline != nullptr ? newline - buffer.get() : end;
        const std::string_view line(&buffer[begin], stop - begin);
        if (entry_named(line, *name)) {
          file.lines.emplace_back(line);
          break;
        }
        begin = newline != nullptr ? stop + 1 : end;
        continue;
      }
      if (at_end) break;
      if (begin > 0) {
        std::memmove(buffer.get(), &buffer[begin], end - begin);
        end -= begin;
        begin = 0;
      }
      if (end == size) {
        std::unique_ptr<char[]> larger(new char[size * 2]);
        std::memcpy(larger.get(), buffer.get(), end);
        buffer = std::move(larger);
        size *= 2;
      }
      const ssize_t n = read_some(fd, &buffer[end], size - end);
      if (n < 0) rc = ERROR_IO_DEVICE;
      at_end = n == 0;
      if (n > 0) end += static_cast<std::size_t>(n);
    }
  } catch (const std::bad_alloc&) {
    rc = ERROR_NOT_ENOUGH_MEMORY;
  }
  ::close(fd);
  file.exists = rc == 0;
  return rc;
}

std::string file_text(const AccountFile& file) {
  std::string text;
  std::size_t size = 0;
  for (const std::string& line : file.lines) size += line.size() + 1;
  text.reserve(size);
  for (std::size_t i = 0; i < file.lines.size(); ++i) {
    text += file.lines[i];
    if (i + 1 < file.lines.size() || file.final_newline) text += '\n';
  }
  return text;
}

bool is_entry(std::string_view line) {
  return !line.empty() && line[0] != '#' && line[0] != '+' && line[0] != '-';
}

std::string_view entry_name(std::string_view line) {
  return line.substr(0, line.find(':'));
}

int find_entry(const AccountFile& file, std::string_view name) {
  for (std::size_t i = 0; i < file.lines.size(); ++i) {
    const std::string& line = file.lines[i];
    if (is_entry(line) && entry_name(line) == name) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::string> split_fields(std::string_view line, std::size_t count) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = line.find(':', start);
    fields.emplace_back(
        line.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (fields.size() < count) fields.resize(count);
  return fields;
}

std::string join_fields(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) line += ':';
    line += fields[i];
  }
  return line;
}

void insert_entry(AccountFile& file, std::string line) {
  std::size_t at = file.lines.size();
  while (at > 0 && !file.lines[at - 1].empty() &&
         (file.lines[at - 1][0] == '+' || file.lines[at - 1][0] == '-'))
    --at;
  // A last line without its newline gets one when a line follows it.
  if (at == file.lines.size()) file.final_newline = true;
  file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
  file.changed = true;
}

void replace_entry(AccountFile& file, int index, std::string line) {
  std::string& old = file.lines[static_cast<std::size_t>(index)];
  if (old == line) return;
  old = std::move(line);
  file.changed = true;
}

void remove_entry(AccountFile& file, int index) {
  file.lines.erase(file.lines.begin() + index);
  file.changed = true;
}

bool add_member(std::string& list, std::string_view name) {
  std::size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    const std::size_t comma = list.find(',', start);
    const std::size_t end = comma == std::string::npos ? list.size() : comma;
    if (std::string_view(list).substr(start, end - start) == name) return false;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (!list.empty()) list += ',';
  list += name;
  return true;
}

bool remove_member(std::string& list, std::string_view name) {
  std::string kept;
  bool removed = false;
  std::size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    const std::size_t comma = list.find(',', start);
    const std::size_t end = comma == std::string::npos ? list.size() : comma;
    const std::string_view member = std::string_view(list).substr(start, end - start);
    if (member == name) {
      removed = true;
    } else {
      if (!kept.empty()) kept += ',';
      kept += member;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (removed) list = kept;
  return removed;
}

}  // namespace ostrel_posix
