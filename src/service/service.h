// Command service: reply writers, tokenizer and option scanning, dispatcher, built-in
// commands, and the process entry with its command loop.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

// ---- Replies -------------------------------------------------------------------------

/// Writes a positive reply ("+OK", "+DATA") to standard output, flushes it, logs it at
/// INFO. A newline is added unless the text ends in one; the line is cut to 1023 chars.
void reply_positive(const char* format, ...) OSTREL_PRINTF(1, 2);

/// reply_positive of the parts one after the other, as "%s%s..." would format them,
/// without a format pass: for the replies that carry an account.
void reply_positive_parts(std::initializer_list<std::string_view> parts);

/// Writes a negative reply, at most one per command: later ones only reach the log
/// (at ERROR, after a notice line).
void reply_negative(const char* format, ...) OSTREL_PRINTF(1, 2);

/// Set by the first negative reply of a command; cleared by the command loop.
int negative_sent();
void clear_negative_sent();

// ---- Command words -------------------------------------------------------------------

/// A command as words: element 0 is the program path (may be null), words[count] is
/// null. A vector made by tokenize_line owns its words, all in text; handlers may
/// overwrite the bytes of a word (passwords are wiped after use, text_size bytes).
struct ArgVector {
  std::unique_ptr<char[]> text;
  std::size_t text_size = 0;
  std::size_t text_capacity = 0;               // bytes of the text block
  std::vector<std::unique_ptr<char[]>> added;  // words a command filter put in place
  std::vector<char*> words;                    // count + 1 entries, the last one null
  int count = 0;
};

/// Splits an input line into words (blanks separate, double quotes group, the line ends
/// at NUL, CR or LF). Logs "Input count = %d" at DEBUG.
ArgVector tokenize_line(const char* line, const char* program_path);

/// tokenize_line into vector, whose earlier words are dropped: its text block and word
/// list are used again when they are large enough (the command loop's one vector). The
/// caller wipes the earlier words first.
void tokenize_line_into(ArgVector& vector, const char* line, const char* program_path);

/// Index of the command word behind the options, or count when there is none; 0 for a
/// null vector.
int find_command_index(char* const* words, int count);

/// True when a "path"/"-path" option stands before the command word at command_index.
bool has_path_option(char* const* words, int command_index);

/// Takes a "path"/"-path" option standing before the command word into the store's
/// work_path. Returns the work path afterwards (null when absent).
const char* scan_path_option(char* const* words);

/// Applies "log", "debug" and "log_passwords" of the process command line and opens the
/// log when a level is set. Returns the log level in force.
int apply_command_line_options(char* const* words);

// ---- Dispatch ------------------------------------------------------------------------

/// A command handler: the words and the index of the command word. Returns 1 done,
/// 0 failed (a negative reply was written), -1 first argument missing (nothing written).
using CommandHandler = int (*)(char* const* words, int index);

/// Moves the log for a path option, finds the command word and calls its handler.
/// The caller keeps ownership of the words.
void dispatch_command(char* const* words, int count);

int show_help(char* const* words, int index);
int show_version(char* const* words, int index);
int quit_command(char* const* words, int index);

int keep_running();
void set_keep_running(int on);

/// The program name (base name of the program path, extension stripped) given at start.
const char* program_name();

// ---- Process entry -------------------------------------------------------------------

inline constexpr const char* kDisplayName = "Ostrel";
inline constexpr const char* kVersionText = "1.0g";

/// Hands the settings read to the platform layer: the directory and host-account options,
/// the lockout policy and the account store, which is the "account_db" setting (a file, a
/// directory URI or "system" for the host's own accounts), else <name>.db in the work path.
/// Returns the account_db in force.
std::string apply_account_settings(const char* name);

/// The whole run: start-up switches, settings, command loop, end of run. Returns the
/// process exit code.
int run_program(int argc, char** argv);

/// Returns every flag of this subsystem to its process-start state.
void reset_service_for_tests();
