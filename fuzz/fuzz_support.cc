#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "log/log.h"

namespace fs = std::filesystem;

namespace {

void remove_scratch() {
  std::error_code ignored;
  fs::remove_all(scratch_dir(), ignored);
}

}  // namespace

const std::string& scratch_dir() {
  // Made before the exit handler is registered, so it outlives that handler.
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ostrel-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("ostrel fuzz: cannot make a scratch directory");
      std::_Exit(2);
    }
    return pattern;
  }();
  static const bool registered = std::atexit(remove_scratch) == 0;
  (void)registered;
  return dir;
}

void empty_directory(const std::string& path) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(path, ignored)) {
    fs::remove_all(entry.path(), ignored);
  }
  fs::create_directories(path, ignored);
}

void open_fresh_log(const std::string& directory, const char* name) {
  reset_log_for_tests();
  const std::string path = directory + "/" + name + ".log";
  unlink(path.c_str());
  set_log_level(LOG_DEBUG);
  log_open(directory.c_str(), name);
}

const std::string& homes_root() {
  static const std::string root = scratch_dir() + "/homes";
  return root;
}

std::string contain_home_word(const char* word) {
  std::string text = word ? word : "";
  if (!word || same_prefix(word, "home=", 5) != 0) return text;
  // The value as the attribute reader takes it: after the "=", one opening quote skipped.
  std::size_t start = 5;
  if (start < text.size() && text[start] == '"') ++start;
  // A relative home directory is recorded but never probed or created.
  if (start >= text.size() || text[start] != '/') return text;
  text.insert(start, homes_root());
  for (std::size_t i = start + homes_root().size(); i + 1 < text.size(); ++i) {
    if (text[i] == '.' && text[i + 1] == '.') text[i + 1] = '_';
  }
  return text;
}

void replace_word(ArgVector& command, int i, const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  command.words[static_cast<std::size_t>(i)] = copy.get();
  command.added.push_back(std::move(copy));
}

void contain_home_words(ArgVector& command) {
  for (int i = 0; i < command.count; ++i) {
    const char* word = command.words[static_cast<std::size_t>(i)];
    if (word && same_prefix(word, "home=", 5) == 0)
      replace_word(command, i, contain_home_word(word));
  }
}
