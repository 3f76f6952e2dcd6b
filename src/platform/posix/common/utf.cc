#include "platform/posix/common/utf.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostrel_posix {
namespace {

// Writes the eight bytes at text as eight UTF-16 units when all are ASCII; false, writing
// nothing, when one is not.
inline bool widen_ascii8(const char* text, char16_t* out) {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text));
  if ((_mm_movemask_epi8(bytes) & 0xFF) != 0) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
#else
  std::uint64_t word;
  std::memcpy(&word, text, sizeof word);
  if ((word & 0x8080808080808080u) != 0) return false;
  for (std::size_t k = 0; k < 8; ++k) out[k] = static_cast<char16_t>((word >> (8 * k)) & 0xFF);
#endif
  return true;
}

// Writes the eight units at wide as eight bytes when all are ASCII; false, writing nothing,
// when one is not.
inline bool narrow_ascii8(const char16_t* wide, char* out) {
#if defined(__SSE2__)
  const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wide));
  const __m128i high = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80)));
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
#else
  for (std::size_t k = 0; k < 8; ++k)
    if (wide[k] >= 0x80) return false;
  for (std::size_t k = 0; k < 8; ++k) out[k] = static_cast<char>(wide[k]);
#endif
  return true;
}

// Writes text into out when it is all ASCII, the usual case, in a few steps of eight bytes
// (the last step goes back over bytes already written when the length is not a multiple of
// eight). False when it is not, having written part of out perhaps.
inline bool widen_ascii(std::string_view text, char16_t* out) {
  const std::size_t n = text.size();
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char byte = static_cast<unsigned char>(text[i]);
      if (byte >= 0x80) return false;
      out[i] = byte;
    }
    return true;
  }
  std::size_t i = 0;
  for (; n - i >= 8; i += 8)
    if (!widen_ascii8(text.data() + i, out + i)) return false;
  return i == n || widen_ascii8(text.data() + n - 8, out + n - 8);
}

// Decodes text into out. An invalid sequence ends the text, or, with escape, stands as
// the lone surrogate U+DC00 + its first byte and decoding goes on after that byte.
bool decode_utf8(std::string_view text, char16_t* out, std::size_t& written, bool escape) {
  const std::size_t n = text.size();
  std::size_t at = 0;
  std::size_t i = 0;
  bool valid = true;
  while (i < n) {
    // Runs of ASCII: eight bytes at a time while none has its top bit set.
    while (n - i >= 8 && widen_ascii8(text.data() + i, out + at)) {
      i += 8;
      at += 8;
    }
    while (i < n && static_cast<unsigned char>(text[i]) < 0x80)
      out[at++] = static_cast<unsigned char>(text[i++]);
    if (i == n) break;
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t code;
    char32_t smallest;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, smallest = 0x10000;
    } else {
      length = 0;  // a continuation byte without its lead, or 0xF8..0xFF
      code = 0;
      smallest = 1;
    }
    bool sequence = length != 0 && n - i >= length;
    for (std::size_t k = 1; sequence && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) sequence = false;
      code = (code << 6) | (next & 0x3F);
    }
    if (!sequence || code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      valid = false;
      if (!escape) break;
      out[at++] = static_cast<char16_t>(0xDC00 | lead);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out[at++] = static_cast<char16_t>(0xD800 + (code >> 10));
      out[at++] = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out[at++] = static_cast<char16_t>(code);
    }
    i += length;
  }
  written = at;
  return valid;
}

// Decodes text into out: a text all in ASCII in steps of eight bytes, any other through
// decode_utf8, whose larger body the usual case thus never enters.
inline bool decode(std::string_view text, char16_t* out, std::size_t& written, bool escape) {
  if (widen_ascii(text, out)) {
    written = text.size();
    return true;
  }
  return decode_utf8(text, out, written, escape);
}

bool decode(std::string_view text, std::u16string& out, bool escape) {
  // A text never has more UTF-16 units than UTF-8 bytes: write in place, then trim.
  const std::size_t start = out.size();
  out.resize(start + text.size());
  std::size_t written = 0;
  const bool valid = decode(text, out.data() + start, written, escape);
  out.resize(start + written);
  return valid;
}

}  // namespace

bool utf8_to_utf16(std::string_view text, char16_t* out, std::size_t& written) {
  return decode(text, out, written, false);
}

bool utf8_to_utf16(std::string_view text, std::u16string& out) {
  return decode(text, out, false);
}

void utf8_to_utf16_escaped(std::string_view text, char16_t* out, std::size_t& written) {
  decode(text, out, written, true);
}

namespace {

// True when no unit of text has a bit above the low seven set: eight bytes at a time, then
// unit by unit.
template <typename Char>
bool no_unit_above_ascii(std::basic_string_view<Char> text) {
  constexpr std::uint64_t kHigh = sizeof(Char) == 1 ? 0x8080808080808080u : 0xFF80FF80FF80FF80u;
  constexpr std::size_t kPerWord = sizeof(std::uint64_t) / sizeof(Char);
  const std::size_t n = text.size();
  std::size_t i = 0;
  for (; n - i >= kPerWord; i += kPerWord) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if ((word & kHigh) != 0) return false;
  }
  for (; i < n; ++i)
    if (static_cast<std::make_unsigned_t<Char>>(text[i]) >= 0x80) return false;
  return true;
}

}  // namespace

bool all_ascii(std::string_view text) {
  return no_unit_above_ascii(text);
}

bool all_ascii(std::u16string_view wide) {
  return no_unit_above_ascii(wide);
}

bool utf16_to_utf8(std::u16string_view wide, char* out, std::size_t& written) {
  const std::size_t n = wide.size();
  std::size_t at = 0;
  bool valid = true;
  for (std::size_t i = 0; i < n; ++i) {
    // Runs of ASCII, eight units at a time.
    while (n - i >= 8 && narrow_ascii8(wide.data() + i, out + at)) {
      i += 8;
      at += 8;
    }
    if (i == n) break;
    char32_t code = wide[i];
    if (code < 0x80) {
      out[at++] = static_cast<char>(code);
      continue;
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 == n || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF) {
        valid = false;
        break;
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      valid = false;
      break;
    }
    if (code < 0x800) {
      out[at++] = static_cast<char>(0xC0 | (code >> 6));
    } else if (code < 0x10000) {
      out[at++] = static_cast<char>(0xE0 | (code >> 12));
      out[at++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    } else {
      out[at++] = static_cast<char>(0xF0 | (code >> 18));
      out[at++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out[at++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    }
    out[at++] = static_cast<char>(0x80 | (code & 0x3F));
  }
  written = at;
  return valid;
}

bool utf16_to_utf8(std::u16string_view wide, std::string& out) {
  // One byte for an ASCII unit, at most three for any other (a pair of units makes four):
  // room for that, written in place and trimmed, so that a short name needs no heap block.
  std::size_t room = wide.size();
  if (!all_ascii(wide))
    for (const char16_t unit : wide) room += unit < 0x80 ? 0 : 2;
  const std::size_t start = out.size();
  out.resize(start + room);
  std::size_t written = 0;
  const bool valid = utf16_to_utf8(wide, out.data() + start, written);
  out.resize(start + written);
  return valid;
}

std::size_t bounded_length(const char16_t* text, std::size_t limit) {
  std::size_t n = 0;
  // Four units a step while four more are within the limit; each is read only after the
  // one before it was not the terminator.
  for (; limit >= 3 && n <= limit - 3; n += 4) {
    if (text[n] == 0) return n;
    if (text[n + 1] == 0) return n + 1;
    if (text[n + 2] == 0) return n + 2;
    if (text[n + 3] == 0) return n + 3;
  }
  while (n <= limit && text[n] != 0) ++n;
  return n;
}

}  // namespace ostrel_posix
