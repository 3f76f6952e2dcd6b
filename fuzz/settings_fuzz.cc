// Bytes as a settings file, read by load_settings from the scratch directory.
//
// Containment: "path" is the one keyword that opens a file by its value (the log moves
// there, and the process ends when it cannot be created there). Every line the reader
// would take as a "path" line has its keyword changed by one byte before the file is
// written, so it reads as an unknown keyword; the rest of the input is written as it is.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "log/log.h"
#include "settings/settings.h"

namespace {

constexpr const char* kName = "fuzz";  // fuzz.ini, fuzz.log

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The reader takes lines in pieces as fgets gives them (up to and including a newline,
// at most 511 bytes) and stops each at its first NUL. A piece whose first word is
// "path" gets that word spoilt; no newline is touched, so the pieces stay as they were.
void spoil_path_lines(std::string& text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = begin;
    while (end < text.size() && end - begin < static_cast<std::size_t>(kLineLimit)) {
      if (text[end++] == '\n') break;
    }
    std::size_t p = begin;
    while (p < end && is_separator(text[p])) ++p;
    std::size_t word_end = p;
    while (word_end < end && text[word_end] != '\0' && !is_separator(text[word_end])) ++word_end;
    if (text.compare(p, word_end - p, "path") == 0) text[p] = '#';
    begin = end;
  }
}

bool write_file(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

void fail(const char* what) {
  std::fprintf(stderr, "settings_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  scratch_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = scratch_dir();
  reset_settings_for_tests();
  open_fresh_log(dir, kName);

  std::string text(reinterpret_cast<const char*>(data), size);
  spoil_path_lines(text);
  if (!write_file(dir + "/" + kName + ".ini", text)) fail("cannot write the settings file");

  if (load_settings(dir.c_str(), kName) != 1) fail("the settings file was not read");
  const Settings& s = settings();
  // A file that names no group or user name still leaves both set.
  if (!s.group || !s.uname) fail("group or uname left absent");
  if (s.work_path) fail("a path line got through");

  release_settings();
  if (s.group || s.uname || s.account_db || s.home_path) fail("a text survived release_settings");
  reset_log_for_tests();
  return 0;
}
