// Account names and fields as Windows checks them: the case-folded store key, the name
// rule, and the limits of the text fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace ostrel_posix {

// Longer than Windows' 20 units, so that a mail address (at most 254 characters) is a
// login name and virtual mail users need no mapping.
inline constexpr std::size_t kMaxNameUnits = 254;
inline constexpr std::size_t kMaxPasswordUnits = 256;
inline constexpr std::size_t kMaxTextUnits = 511;

// Parameter indexes of the USER_INFO_1 fields, reported with ERROR_INVALID_PARAMETER.
inline constexpr DWORD kParmName = 1;
inline constexpr DWORD kParmPassword = 2;
inline constexpr DWORD kParmPriv = 4;
inline constexpr DWORD kParmHomeDir = 5;
inline constexpr DWORD kParmComment = 6;
inline constexpr DWORD kParmFlags = 7;
inline constexpr DWORD kParmScriptPath = 8;

/// The store key of an account or group name: upper-cased code point by code point, as
/// Windows compares names, in UTF-8 (so that byte order is code point order). False when
/// the name is not valid UTF-16.
bool name_key(std::u16string_view name, std::string& key);

/// Windows' rule for a user name, but 1 to 254 units: no control character and none of
/// " / \ [ ] : ; | = , + * ? < >, not only dots and blanks.
bool valid_account_name(std::u16string_view name);

/// The name as a view when it is a valid account name with a valid key; else false.
bool account_name_and_key(const WCHAR* name, std::u16string_view& view, std::string& key);

/// The attribute fields of a USER_INFO_1 as the store keeps them; a text absent from the
/// record stays absent (has_* false), which differs from an empty text.
struct UserFields {
  DWORD priv = 0;
  DWORD flags = 0;
  bool has_home_dir = false, has_comment = false, has_script_path = false;
  std::string home_dir, comment, script_path;
};

/// Checks and converts priv, flags and the three texts. 0, or ERROR_INVALID_PARAMETER with
/// the field's index in parm_index. Flags without an account type get UF_NORMAL_ACCOUNT;
/// two account types are refused.
DWORD prepare_user_fields(const USER_INFO_1& info, UserFields& fields, DWORD& parm_index);

}  // namespace ostrel_posix
