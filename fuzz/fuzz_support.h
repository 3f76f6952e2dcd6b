// What the fuzz targets share: a scratch directory for the process, a fresh log in it,
// and the rewriting that keeps every file a fuzz input names inside that directory.
#pragma once

#include <string>

#include "service/service.h"

/// The scratch directory of this process: made on first use under $TMPDIR (or /tmp),
/// removed when the process ends normally. Ends the process when it cannot be made.
const std::string& scratch_dir();

/// Removes everything inside path and makes sure the directory exists.
void empty_directory(const std::string& path);

/// Closes any log, returns every log state to its start and opens a new, empty log
/// <directory>/<name>.log at DEBUG level.
void open_fresh_log(const std::string& directory, const char* name);

/// Where absolute home directories of fuzz input are made: <scratch>/homes.
const std::string& homes_root();

/// The home= word with its absolute value moved under homes_root() and every ".." of
/// the value broken up, so that probing or creating it never leaves the scratch
/// directory. Any other word comes back unchanged.
std::string contain_home_word(const char* word);

/// Replaces word i of command by text (the vector keeps the new copy).
void replace_word(ArgVector& command, int i, const std::string& text);

/// Applies contain_home_word to every word of command.
void contain_home_words(ArgVector& command);
