// Diagnostic log: levels, the log file and its "init.log" fallback, the line format,
// the echo to standard output, and the logged file open and close.
#pragma once

#include <cstdio>

#include "text/text.h"

enum : int { LOG_NONE = 0, LOG_ERROR = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

/// The formatters: 0 when the level is LOG_NONE (nothing formatted), else 1.
/// A message gets a newline appended unless it already ends in one; messages longer
/// than the 1024-byte buffer are cut to fit.
int log_error(const char* format, ...) OSTREL_PRINTF(1, 2);
int log_info(const char* format, ...) OSTREL_PRINTF(1, 2);
int log_debug(const char* format, ...) OSTREL_PRINTF(1, 2);

/// Writes a finished line (ending in a newline) at a level 1 to 3; 0 for a null text.
/// Opens "init.log" once when no log is open; ends the process with status 1 when no
/// log can be had.
int log_write(const char* text, int level);

/// Opens (appending) the log named by directory and name (".log" added to a name
/// without a dot). Returns 1; ends the process with status 1 when it cannot be created
/// (hosted: returns 0, no log open).
int log_open(const char* directory, const char* name);

/// Writes the end line and closes the log: 1 when closed or none was open, 0 on failure.
int log_close();

/// "debug" -> LOG_DEBUG, "error" -> LOG_ERROR, any other word -> LOG_INFO; null: unchanged.
void parse_log_level(const char* word);

const char* level_name(int level);
const char* log_timestamp();
int process_id();

/// fopen/fclose wrappers that log each call. Mode "wx" creates a file only where none of
/// that name exists (EEXIST otherwise); "r" and "a" refuse a file that another local user
/// could have planted or changed (open_trusted_file), *refusal then naming the reason.
std::FILE* open_file(const char* path, const char* mode, const char** refusal = nullptr);
int close_file(std::FILE* stream);

int get_log_level();
void set_log_level(int level);
int get_echo_to_stdout();
void set_echo_to_stdout(int on);
/// On inside another program's process (the PAM module): nothing is written to standard
/// output, and a log that cannot be opened never ends the process: log_open returns 0 and
/// lines without a log are dropped. Replies then go to the log only.
void set_hosted(int on);
int hosted();
/// True while a log file is open.
bool log_is_open();
/// The path of the open log file ("" when none); for messages and tests.
const char* log_path();
/// The user ids that own the open log file and the directory it lies in: -1 for one that
/// cannot be examined, both -1 when no log is open.
void log_owners(long& file_owner, long& directory_owner);

/// Closes any open log without an end line and returns every log state to its start.
void reset_log_for_tests();
