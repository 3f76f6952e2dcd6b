// The process entry: start-up switches, settings, account store, the command loop over
// command-line or terminal input, and the end of the run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "service/service_internal.h"
#include "settings/settings.h"

namespace {

// "-version" and "-debug" count anywhere on the command line. Returns false when the
// run ends here (the banner was printed).
bool apply_startup_switches(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (same_text(argv[i], "-version") == 0) {
      std::printf("Brellan's %s module, Version %s\n", kDisplayName, kVersionText);
      std::fflush(stdout);
      return false;
    }
    if (same_text(argv[i], "-debug") == 0) {
      std::printf(
          "-debug found, logging to stdout, NB: don't use this option when being run by "
          "tarsend or tarfetch!\n");
      std::fflush(stdout);
      set_echo_to_stdout(1);
      set_log_level(LOG_DEBUG);
    }
  }
  return true;
}

// The account store: the "account_db" setting, else <name>.db in the work path.
void choose_account_store(const char* name) {
  const Settings& store = settings();
  if (store.account_db) {
    platform_set_account_db(store.account_db->c_str());
    return;
  }
  const std::string file = std::string(name) + ".db";
  const char* joined = join_path(text_of(store.work_path), file.c_str());
  const std::string path = joined ? joined : file;
  log_debug("Account database {%s}", path.c_str());
  platform_set_account_db(path.c_str());
}

// Reads the next command line of standard input into buffer. Answers empty lines and
// lines that are too long on the way. Returns false at the end of input.
bool next_terminal_line(char* buffer) {
  for (;;) {
    int length = 0;
    switch (read_command_line(stdin, buffer, &length)) {
      case LineRead::kEnd:
        return false;
      case LineRead::kTooLong:
        reply_negative("-ERR Command line too long (more than 511 characters)");
        clear_negative_sent();
        break;
      case LineRead::kLine:
        if (buffer[0] != '\n') return true;
        reply_negative("-ERR Not a valid command (nocommand) use help");
        clear_negative_sent();
        break;
    }
  }
}

void wipe_words(ArgVector& command) {
  for (auto& word : command.owned) secure_wipe(word.get(), std::strlen(word.get()));
}

int end_of_run() {
  release_settings();
  if (!log_close()) reply_negative("-DEAD Unable to close log file {%s}", std::strerror(errno));
  return 0;
}

}  // namespace

int run_program(int argc, char** argv) {
  if (!apply_startup_switches(argc, argv)) return 0;

  const char* program_path = argc > 0 ? argv[0] : nullptr;
  const std::string name = program_name_of(program_path);
  set_program_name(name.c_str());

  const char* scanned = argc > 0 ? scan_path_option(argv) : nullptr;
  const std::string work_path = scanned ? scanned : "";
  if (!load_settings(scanned ? work_path.c_str() : nullptr, name.c_str())) return 1;
  choose_account_store(name.c_str());

  bool command_line = argc > 1;
  char line[kLineBuffer];
  do {
    if (command_line) {
      log_debug("Command line input..");
      command_line = false;
      apply_command_line_options(argv);
      dispatch_command(argv, argc);
    } else {
      log_debug("Terminal input..");
      set_keep_running(1);
      const bool have_line = next_terminal_line(line);
      if (have_line) {
        ArgVector command = tokenize_line(line, program_path);
        dispatch_command(command.words.data(), command.count);
        wipe_words(command);
      }
      // The line may have held a password.
      secure_wipe(line, sizeof line);
      if (!have_line) break;
    }
    clear_negative_sent();
  } while (keep_running());
  return end_of_run();
}
