#include "platform/posix/directory/ldap_text.h"

#include <ctime>

namespace ostrel_posix {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, unsigned char byte) {
  out.push_back('\\');
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0x0F]);
}

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::string escape_filter_value(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (const char c : value) {
    switch (c) {
      case '*':
      case '(':
      case ')':
      case '\\':
      case '\0':
        append_hex(out, static_cast<unsigned char>(c));
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string escape_dn_value(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c == 0x7F) {
      append_hex(out, c);
      continue;
    }
    switch (c) {
      case '"':
      case '+':
      case ',':
      case ';':
      case '<':
      case '>':
      case '\\':
      case '=':
        out.push_back('\\');
        break;
      case ' ':
        if (i == 0 || i + 1 == value.size()) out.push_back('\\');
        break;
      case '#':
        if (i == 0) out.push_back('\\');
        break;
      default:
        break;
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

bool parse_generalized_time(std::string_view text, std::int64_t& seconds) {
  // YYYYMMDDHHMMSS, optional fraction, then Z.
  if (text.size() < 15 || text.back() != 'Z') return false;
  int year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, year) || !digits(text, 4, 2, month) || !digits(text, 6, 2, day) ||
      !digits(text, 8, 2, hour) || !digits(text, 10, 2, minute) || !digits(text, 12, 2, second))
    return false;
  if (text.size() > 15) {
    if (text[14] != '.' && text[14] != ',') return false;
    if (text.size() < 17) return false;
    for (std::size_t i = 15; i + 1 < text.size(); ++i)
      if (text[i] < '0' || text[i] > '9') return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  seconds = static_cast<std::int64_t>(timegm(&tm));
  return true;
}

}  // namespace ostrel_posix
