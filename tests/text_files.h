// Files and lines of the protocol tests, on every platform the runners are built for.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

/// The whole content of a file ("" when it cannot be read).
std::string read_text(const std::filesystem::path& path);

/// Writes bytes to a file, replacing it.
void write_text(const std::filesystem::path& path, const std::string& bytes);

/// Splits text into lines at '\n' (the newlines dropped; a last unterminated piece kept).
std::vector<std::string> split_lines(const std::string& text);

/// The part of a log line after its process id ("DEBUG Opening [x]"); "" when the line
/// has no ":[pid]" part.
std::string log_message(const std::string& line);
