#include "platform/posix/system/file_commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/common/faults.h"
#include "platform/posix/system/system_options.h"

namespace ostrel_posix {
namespace {

constexpr const char* kNewSuffix = ".ostrel-new";

DWORD write_error() {
  return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool sync_directory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// Writes text to path, made afresh with the given owner and mode, and syncs it.
DWORD write_new_file(const std::string& path, const std::string& text, const struct stat& like) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return write_error();
  DWORD rc = 0;
  struct stat made {};
  if (::fstat(fd, &made) != 0) rc = ERROR_ACCESS_DENIED;
  // The owner is kept; a writer that may not give the file its owner changes nothing.
  if (rc == 0 && (made.st_uid != like.st_uid || made.st_gid != like.st_gid) &&
      ::fchown(fd, like.st_uid, like.st_gid) != 0)
    rc = ERROR_ACCESS_DENIED;
  if (rc == 0 && ::fchmod(fd, like.st_mode & 07777) != 0) rc = ERROR_ACCESS_DENIED;
  if (rc == 0 && (!write_all(fd, text) || ::fsync(fd) != 0)) rc = write_error();
  if (::close(fd) != 0 && rc == 0) rc = write_error();
  if (rc != 0) ::unlink(path.c_str());
  return rc;
}

// A journal line: the target, and the identity of the file it replaces, NUL-separated.
std::string identity_of(const struct stat& info) {
  return std::to_string(info.st_dev) + " " + std::to_string(info.st_ino) + " " +
         std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
         std::to_string(info.st_mtim.tv_nsec);
}

}  // namespace

std::string journal_path(const std::string& password_file) {
  return password_file + ".ostrel-journal";
}

DWORD recover_files(const std::string& journal) {
  AccountFile entries;
  const DWORD read = read_account_file(journal, entries);
  if (read == ERROR_FILE_NOT_FOUND) return 0;
  if (read != 0) return read;
  // An empty or torn journal was never complete: its change had not begun.
  const bool complete = !entries.lines.empty() && entries.lines.back() == "end";
  DWORD rc = 0;
  std::vector<std::string> directories;
  for (const std::string& line : entries.lines) {
    const std::size_t nul = line.find('\0');
    if (nul == std::string::npos) continue;
    const std::string target = line.substr(0, nul);
    const std::string fresh = target + kNewSuffix;
    struct stat now {};
    const bool untouched =
        ::lstat(target.c_str(), &now) == 0 && identity_of(now) == line.substr(nul + 1);
    if (complete && untouched && ::access(fresh.c_str(), F_OK) == 0) {
      if (::rename(fresh.c_str(), target.c_str()) != 0) rc = ERROR_ACCESS_DENIED;
      directories.push_back(directory_of(target));
    } else {
      ::unlink(fresh.c_str());
    }
  }
  for (const std::string& directory : directories) sync_directory(directory);
  if (rc == 0) {
    ::unlink(journal.c_str());
    sync_directory(directory_of(journal));
  }
  return rc;
}

DWORD commit_files(const std::vector<AccountFile*>& files, const std::string& journal) {
  std::string entries;
  std::vector<const AccountFile*> changed;
  for (const AccountFile* file : files) {
    if (file == nullptr || !file->changed) continue;
    if (!file->exists) return ERROR_FILE_NOT_FOUND;
    if (const DWORD rc = write_new_file(file->path + kNewSuffix, file_text(*file), file->info);
        rc != 0) {
      for (const AccountFile* done : changed) ::unlink((done->path + kNewSuffix).c_str());
      return rc;
    }
    changed.push_back(file);
    entries += file->path;
    entries += '\0';
    entries += identity_of(file->info);
    entries += '\n';
  }
  if (changed.empty()) return 0;
  entries += "end\n";
  struct stat journal_mode {};
  journal_mode.st_uid = ::geteuid();
  journal_mode.st_gid = ::getegid();
  journal_mode.st_mode = 0600;
  const std::string journal_new = journal + kNewSuffix;
  DWORD rc = write_new_file(journal_new, entries, journal_mode);
  if (rc == 0 && (::rename(journal_new.c_str(), journal.c_str()) != 0 ||
                  !sync_directory(directory_of(journal))))
    rc = ERROR_ACCESS_DENIED;
  if (rc != 0) {
    ::unlink(journal_new.c_str());
    for (const AccountFile* done : changed) ::unlink((done->path + kNewSuffix).c_str());
    return rc;
  }
  // From here the change is made: recovery finishes whatever a kill leaves undone.
  if (Fault fault; take_fault("commit_files", fault)) return fault.code;
  return recover_files(journal);
}

}  // namespace ostrel_posix
