// Strict UTF-8 <-> UTF-16 conversion, shared by the code page calls and the account store.
#pragma once

#include <string>
#include <string_view>

namespace ostrel_posix {

/// Appends the UTF-16 form of text to out. False on an invalid sequence (overlong form,
/// surrogate code point, beyond U+10FFFF, stray or truncated bytes); out may then hold
/// part of the text.
bool utf8_to_utf16(std::string_view text, std::u16string& out);

/// Appends the UTF-8 form of wide to out. False on an unpaired surrogate; out may then
/// hold part of the text.
bool utf16_to_utf8(std::u16string_view wide, std::string& out);

/// The same into out, which holds at least text.size() units; written is how many were
/// written, also on failure.
bool utf8_to_utf16(std::string_view text, char16_t* out, std::size_t& written);

/// The UTF-16 form of a text read from elsewhere, whose bytes need not be UTF-8, into out,
/// which holds at least text.size() units; written is how many were written. Each byte of
/// an invalid sequence becomes the lone surrogate U+DC00 + byte, which no valid UTF-16 text
/// holds, so that a strict conversion back refuses the text.
void utf8_to_utf16_escaped(std::string_view text, char16_t* out, std::size_t& written);

/// True when every byte of text, or every unit of wide, is ASCII (below 0x80): such a text
/// converts unit for byte.
bool all_ascii(std::string_view text);
bool all_ascii(std::u16string_view wide);

/// The same into out, which holds at least 3 * wide.size() bytes; written is how many
/// were written, also on failure.
bool utf16_to_utf8(std::u16string_view wide, char* out, std::size_t& written);

/// Length of a NUL-terminated UTF-16 text, counting at most limit + 1 units, so that a
/// check against limit never walks an overlong text to its end.
std::size_t bounded_length(const char16_t* text, std::size_t limit);

}  // namespace ostrel_posix
