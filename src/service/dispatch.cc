// The dispatcher: the path step (moving the log), the command word, and its handler.
#include <optional>
#include <string>

#include "accounts/accounts.h"
#include "log/log.h"
#include "service/service.h"
#include "service/service_internal.h"
#include "settings/settings.h"

namespace {

struct CommandRow {
  const char* word;
  const char* dashed;  // the second form; null for quit and exit
  CommandHandler handler;
};

// Compared in this order, exactly and case-sensitively.
constexpr CommandRow kCommands[] = {
    {"set", "-set", add_account},           {"del", "-del", delete_account},
    {"check", "-check", check_account},     {"lookup", "-lookup", lookup_account},
    {"search", "-search", search_accounts}, {"version", "-version", show_version},
    {"help", "-help", show_help},           {"quit", nullptr, quit_command},
    {"exit", nullptr, quit_command},
};

CommandHandler find_handler(const char* word) {
  if (!word) return nullptr;
  for (const CommandRow& row : kCommands) {
    // The first character rules out most rows without a comparison.
    if (word[0] == row.word[0] && same_text(word, row.word) == 0) return row.handler;
    if (word[0] == '-' && same_text(word, row.dashed) == 0) return row.handler;
  }
  return nullptr;
}

// A path option naming another directory moves the log there before the command runs.
void apply_path_step(char* const* words) {
  const char* before = text_of(settings().work_path);
  const std::optional<std::string> kept =
      before ? std::optional<std::string>(before) : std::nullopt;
  const char* now = scan_path_option(words);
  if (!now) return;
  if (kept && same_text(now, kept->c_str()) == 0) return;
  const std::string directory = now;
  std::string name = program_name_of(words[0]);
  if (name.empty()) name = program_name();  // a vector made without a program path
  if (log_is_open()) log_close();
  log_open(directory.c_str(), name.c_str());
}

}  // namespace

void dispatch_command(char* const* words, int count) {
  if (!words || count < 1) {
    set_keep_running(1);
    return;
  }
  const int index = find_command_index(words, count);
  // Without a path option the step changes nothing: the work path is not even copied.
  if (has_path_option(words, index)) apply_path_step(words);

  log_debug("Command {%d}", index);
  if (index >= count) {
    // Options only: nothing to answer, and reading goes on.
    set_keep_running(1);
    return;
  }
  const char* word = words[index];
  log_debug("Function? {%s}", word);

  int result = 0;
  if (CommandHandler handler = find_handler(word)) {
    result = handler(words, index);
  } else {
    reply_negative("-ERR Not a valid command (%s) use \"help\"", word);
  }
  if (result < 0) show_help(words, index);
}
