// Files and lines of the protocol tests.
#include "text_files.h"

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string log_message(const std::string& line) {
  const std::size_t open = line.find(":[");
  if (open == std::string::npos) return "";
  const std::size_t close = line.find(']', open);
  if (close == std::string::npos) return "";
  return line.substr(close + 1);
}
