// Internal to the settings folder: line parsing, the keyword table and the fallback path.
#pragma once

#include <string>

/// Splits one line of the settings file into its keyword and value. Returns false when
/// the line holds no keyword. The value follows one separator character and runs to the
/// first CR or LF (trailing blanks and tabs removed) or to the end of the text (kept).
bool split_settings_line(const char* line, std::string* keyword, std::string* value);

/// Carries out a keyword with its value; log_name names the log for "path". Returns
/// false when the word is not a keyword.
bool apply_setting(const std::string& keyword, const std::string& value, const char* log_name);

/// The fallback settings file: "corvex.ini" in the system directory (or the built-in
/// default when the system directory cannot be had), in a 512-byte buffer. Returns false,
/// with errno ENAMETOOLONG, when the path does not fit 511 characters.
bool fallback_settings_path(char* path);
