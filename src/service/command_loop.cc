// The terminal command loop: command lines from a file descriptor, each answered or dispatched
// in turn, until the end of input or "quit".
#include <cstring>

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "service/service_internal.h"

namespace {

// Reads the next command line of input into buffer. Answers empty lines and lines that
// are too long on the way. Returns false at the end of input.
bool next_terminal_line(CommandInput& input, char* buffer) {
  for (;;) {
    int length = 0;
    switch (read_command_line(input, buffer, &length)) {
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
  if (command.text) secure_wipe(command.text.get(), command.text_size);
  for (auto& word : command.added) secure_wipe(word.get(), std::strlen(word.get()));
}

}  // namespace

void serve_command_lines(int input_fd, const char* program_path, CommandFilter filter) {
  CommandInput input(input_fd);
  char line[kLineBuffer];
  // One vector for every line: its blocks are made once, and wiped after each command.
  ArgVector command;
  do {
    log_debug("Terminal input..");
    set_keep_running(1);
    const bool have_line = next_terminal_line(input, line);
    if (have_line) {
      tokenize_line_into(command, line, program_path);
      if (filter) filter(command);
      dispatch_command(command.words.data(), command.count);
      wipe_words(command);
    }
    // The line may have held a password.
    secure_wipe(line, sizeof line);
    if (!have_line) break;
    clear_negative_sent();
  } while (keep_running());
}
