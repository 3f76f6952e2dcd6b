#include "platform/posix/common/names.h"

#include <locale.h>
#include <wctype.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/posix/common/utf.h"

namespace ostrel_posix {
namespace {

// Upper-casing outside ASCII follows the C.UTF-8 tables; without them only ASCII folds.
locale_t fold_locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

char32_t fold(char32_t code) {
  if (code < 0x80) return (code >= 'a' && code <= 'z') ? code - 0x20 : code;
  const locale_t locale = fold_locale();
  if (locale == static_cast<locale_t>(0)) return code;
  const wint_t upper = towupper_l(static_cast<wint_t>(code), locale);
  // Keep a mapping only when it gives a code point that UTF-16 can carry.
  if (upper == 0 || upper > 0x10FFFF || (upper >= 0xD800 && upper <= 0xDFFF)) return code;
  return static_cast<char32_t>(upper);
}

// The units below 0x80 that no name may hold, as two 64-bit sets: the controls, DEL and
// " / \ [ ] : ; | = , + * ? < >.
constexpr std::array<std::uint64_t, 2> forbidden_units() {
  std::array<std::uint64_t, 2> set{};
  for (unsigned unit = 0; unit < 0x20; ++unit) set[0] |= std::uint64_t{1} << unit;
  set[1] |= std::uint64_t{1} << (0x7F - 64);
  for (const char unit : std::string_view("\"/\\[]:;|=,+*?<>"))
    set[unit / 64] |= std::uint64_t{1} << (unit % 64);
  return set;
}

constexpr std::array<std::uint64_t, 2> kForbiddenUnits = forbidden_units();

bool forbidden(char16_t unit) {
  return unit < 0x80 && ((kForbiddenUnits[unit / 64] >> (unit % 64)) & 1) != 0;
}

// The rules of a name's units, taken one unit at a time: none forbidden, and not all of
// them dots and blanks.
struct NameRules {
  bool only_dots_and_blanks = true;
  bool take(char16_t unit) {
    if (forbidden(unit)) return false;
    if (unit != u'.' && unit != u' ') only_dots_and_blanks = false;
    return true;
  }
  // True when the n units taken make a name.
  bool kept(std::size_t n) const { return n > 0 && n <= kMaxNameUnits && !only_dots_and_blanks; }
};

// Converts an optional text field; false when it is too long or not valid UTF-16.
bool convert_field(const WCHAR* text, bool& present, std::string& out) {
  present = text != nullptr;
  if (!present) return true;
  const std::size_t n = bounded_length(text, kMaxTextUnits);
  if (n > kMaxTextUnits) return false;
  return utf16_to_utf8(std::u16string_view(text, n), out);
}

}  // namespace

bool name_key(std::u16string_view name, std::string& key) {
  const std::size_t n = name.size();
  // The ASCII start of the name, usually all of it, folds in place.
  key.resize(n);
  std::size_t i = 0;
  for (; i < n && name[i] < 0x80; ++i) key[i] = static_cast<char>(fold(name[i]));
  key.resize(i);
  for (; i < n; ++i) {
    char32_t code = name[i];
    if (code < 0x80) {
      key.push_back(static_cast<char>(fold(code)));
      continue;
    }
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < n && name[i + 1] >= 0xDC00 &&
        name[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      return false;
    }
    const char32_t folded = fold(code);
    // Encode the folded code point through the UTF-16 form, which the converter checks.
    char16_t units[2];
    std::size_t count = 1;
    if (folded >= 0x10000) {
      units[0] = static_cast<char16_t>(0xD800 + ((folded - 0x10000) >> 10));
      units[1] = static_cast<char16_t>(0xDC00 + ((folded - 0x10000) & 0x3FF));
      count = 2;
    } else {
      units[0] = static_cast<char16_t>(folded);
    }
    if (!utf16_to_utf8(std::u16string_view(units, count), key)) return false;
  }
  return true;
}

bool valid_account_name(std::u16string_view name) {
  if (name.size() > kMaxNameUnits) return false;  // refused before its units are read
  NameRules rules;
  for (char16_t unit : name)
    if (!rules.take(unit)) return false;
  return rules.kept(name.size());
}

bool account_name_and_key(const WCHAR* name, std::u16string_view& view, std::string& key) {
  if (name == nullptr) return false;
  // A name all in ASCII, the usual case, is measured, checked and folded in one pass.
  char folded[kMaxNameUnits];
  NameRules rules;
  std::size_t n = 0;
  for (; n < kMaxNameUnits && name[n] != 0 && name[n] < 0x80; ++n) {
    if (!rules.take(name[n])) return false;
    folded[n] = static_cast<char>(fold(name[n]));
  }
  if (name[n] == 0) {
    if (!rules.kept(n)) return false;
    view = std::u16string_view(name, n);
    key.assign(folded, n);
    return true;
  }
  view = std::u16string_view(name, bounded_length(name, kMaxNameUnits));
  return valid_account_name(view) && name_key(view, key);
}

DWORD prepare_user_fields(const USER_INFO_1& info, UserFields& fields, DWORD& parm_index) {
  auto refuse = [&parm_index](DWORD index) {
    parm_index = index;
    return ERROR_INVALID_PARAMETER;
  };
  if (info.usri1_priv != USER_PRIV_GUEST && info.usri1_priv != USER_PRIV_USER &&
      info.usri1_priv != USER_PRIV_ADMIN)
    return refuse(kParmPriv);
  fields.priv = info.usri1_priv;
  if (!convert_field(info.usri1_home_dir, fields.has_home_dir, fields.home_dir))
    return refuse(kParmHomeDir);
  if (!convert_field(info.usri1_comment, fields.has_comment, fields.comment))
    return refuse(kParmComment);
  const DWORD types = info.usri1_flags & (UF_TEMP_DUPLICATE_ACCOUNT | UF_NORMAL_ACCOUNT |
                                          UF_INTERDOMAIN_TRUST_ACCOUNT |
                                          UF_WORKSTATION_TRUST_ACCOUNT | UF_SERVER_TRUST_ACCOUNT);
  if ((types & (types - 1)) != 0) return refuse(kParmFlags);
  fields.flags = types == 0 ? (info.usri1_flags | UF_NORMAL_ACCOUNT) : info.usri1_flags;
  if (!convert_field(info.usri1_script_path, fields.has_script_path, fields.script_path))
    return refuse(kParmScriptPath);
  return 0;
}

}  // namespace ostrel_posix
