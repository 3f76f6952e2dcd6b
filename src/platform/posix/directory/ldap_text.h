// Texts for the directory: escaped filter values and DN values, so that no name or value
// can change the shape of a filter or a DN, and the directory's time stamps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel_posix {

/// value escaped for a search filter: '*', '(', ')', '\' and NUL as \2a \28 \29 \5c \00.
std::string escape_filter_value(std::string_view value);

/// value escaped as one attribute value of a DN: the specials " + , ; < > \ = with a
/// backslash, a leading blank or '#' and a trailing blank with a backslash, NUL and other
/// control bytes as \XX.
std::string escape_dn_value(std::string_view value);

/// Seconds since the epoch of a GeneralizedTime in UTC ("20261208190806Z", fractions
/// allowed); false when the text is not one.
bool parse_generalized_time(std::string_view text, std::int64_t& seconds);

}  // namespace ostrel_posix
