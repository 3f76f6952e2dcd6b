// Bytes as standard input of the command loop: line reading, tokenizing and dispatch of
// every command against a fresh account store in the scratch directory.
//
// Containment: a fuzz input must never touch files outside the scratch directory, and
// must never reach the process-ending path of a log that cannot be created. Two kinds
// of word name files: the value of a "path" option (the log moves there) and a home=
// directory (probed, then created). Before dispatch, a path value is replaced by one of
// two log directories that exist, and an absolute home directory is moved under
// <scratch>/homes with its ".." broken up. The rest of every command reaches the code
// unchanged. Chrooting instead would hide the corpus and the crash files from the fuzzer,
// and dropping every "/" would leave the directory chain untested.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "service/service_internal.h"
#include "settings/settings.h"

namespace {

constexpr const char* kProgram = "ostrel";

struct Layout {
  std::string store;     // the account store file
  std::string logs;      // the log at start
  std::string moved[2];  // where a path option moves it
};

const Layout& layout() {
  static const Layout paths = [] {
    const std::string& dir = scratch_dir();
    Layout l;
    l.store = dir + "/accounts.db";
    l.logs = dir + "/logs";
    l.moved[0] = l.logs + "/p0";
    l.moved[1] = l.logs + "/p1";
    return l;
  }();
  return paths;
}

// Equal path values go to the same directory, so that both "the same path again" and
// "another path" are reachable.
const std::string& log_directory_for(const char* value) {
  unsigned sum = 0;
  for (const char* p = value; *p; ++p) sum += static_cast<unsigned char>(*p);
  return layout().moved[sum % 2];
}

void contain_command(ArgVector& command) {
  // Only the first path option before the command word counts (see scan_path_option);
  // its value is never the command word, so replacing it moves nothing else.
  const int index = find_command_index(command.words.data(), command.count);
  for (int i = 1; i < index; ++i) {
    const char* word = command.words[static_cast<std::size_t>(i)];
    if (same_text(word, "path") != 0 && same_text(word, "-path") != 0) continue;
    const char* value = command.words[static_cast<std::size_t>(i) + 1];
    if (value) replace_word(command, i + 1, log_directory_for(value));
    break;
  }
  contain_home_words(command);
}

void remove_store_files() {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    unlink((layout().store + suffix).c_str());
  }
}

// Each input starts from the same state: no accounts, no home directories, empty logs,
// the settings a plain settings file gives.
void start_run() {
  platform_clear_faults();
  platform_close_store();
  remove_store_files();
  empty_directory(homes_root());

  reset_settings_for_tests();
  settings().group = "Guests";
  settings().uname = std::string(kDisplayName) + " " + kVersionText + " user";
  reset_service_for_tests();
  set_program_name(kProgram);

  for (const std::string& dir : layout().moved) unlink((dir + "/" + kProgram + ".log").c_str());
  open_fresh_log(layout().logs, kProgram);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Replies are not looked at; the fuzzer's own report goes to standard error.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  const Layout& l = layout();
  empty_directory(l.logs);
  empty_directory(l.moved[0]);
  empty_directory(l.moved[1]);
  empty_directory(homes_root());
  platform_set_account_db(l.store.c_str());
  // The argon2id minimums: set and check stay cheap enough to run thousands of times.
  platform_set_hash_limits_for_tests(1, 8192);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  start_run();
  // The command loop reads a descriptor: the input goes into an anonymous memory file.
  const int input = memfd_create("command_loop_input", MFD_CLOEXEC);
  if (input < 0) return 0;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(input, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  if (written == size && lseek(input, 0, SEEK_SET) == 0)
    serve_command_lines(input, kProgram, contain_command);
  close(input);
  // As at the end of a run.
  release_settings();
  log_close();
  return 0;
}
