// Finding the command word behind the options, and the options themselves: the work
// path, and the log level and log_passwords of the process command line.
#include <string>

#include "log/log.h"
#include "service/service.h"
#include "service/service_internal.h"
#include "settings/settings.h"

namespace {

bool is_word(const char* word, const char* a, const char* b) {
  return same_text(word, a) == 0 || same_text(word, b) == 0;
}

bool is_level_word(const char* word) {
  return same_text(word, "debug") == 0 || same_text(word, "info") == 0 ||
         same_text(word, "error") == 0;
}

int count_words(char* const* words) {
  int count = 0;
  while (words[count]) ++count;
  return count;
}

}  // namespace

int find_command_index(char* const* words, int count) {
  if (!words) return 0;
  int index = 1;
  while (index < count) {
    const char* word = words[index];
    // An option word begins with its own first letter or a dash: only those are compared.
    const char first = word ? word[0] : '\0';
    const bool dashed = first == '-';
    if ((first == 'd' || dashed) && is_word(word, "debug", "-debug")) {
      index += 1;
    } else if ((first == 'p' || dashed) && is_word(word, "path", "-path")) {
      index += 2;
    } else if ((first == 'l' || dashed) && is_word(word, "log", "-log")) {
      index += is_level_word(words[index + 1]) ? 2 : 1;
    } else {
      return index;
    }
  }
  return count;
}

bool has_path_option(char* const* words, int command_index) {
  if (!words) return false;
  for (int i = 1; i < command_index; ++i)
    if (is_word(words[i], "path", "-path")) return true;
  return false;
}

const char* scan_path_option(char* const* words) {
  Settings& store = settings();
  if (!words) return text_of(store.work_path);
  // Only an option before the command word counts: an argument of the command that
  // reads "path" (a user name, a password) is data, never an option.
  const int count = count_words(words);
  const int command = find_command_index(words, count);
  for (int i = 1; i < command; ++i) {
    if (!is_word(words[i], "path", "-path")) continue;
    if (words[i + 1]) {
      store.work_path = std::string(words[i + 1]);
    } else {
      store.work_path.reset();
    }
    break;
  }
  return text_of(store.work_path);
}

int apply_command_line_options(char* const* words) {
  bool log_passwords_seen = false;
  for (int i = 0; words && words[i]; ++i) {
    const char* word = words[i];
    if (is_word(word, "log", "-log")) {
      set_log_level(same_text(words[i + 1], "debug") == 0 ? LOG_DEBUG : LOG_INFO);
      break;
    }
    if (is_word(word, "debug", "-debug")) {
      set_log_level(LOG_DEBUG);
      break;
    }
    if (is_word(word, "log_passwords", "-log_passwords")) {
      settings().log_passwords = 1;
      log_passwords_seen = true;
    }
  }

  if (get_log_level() != LOG_NONE && !log_is_open()) {
    const char* directory = text_of(settings().work_path);
    if (!directory) directory = scan_path_option(words);
    // Copies: the path helpers return buffers that the next call overwrites.
    const std::string directory_copy = directory ? directory : "";
    const std::string name = program_name_of(words ? words[0] : nullptr);
    log_open(directory ? directory_copy.c_str() : nullptr, name.c_str());
  }
  if (log_passwords_seen) log_debug("WARNING Log passwords set to true");
  return get_log_level();
}
