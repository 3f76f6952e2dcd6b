#include "platform/posix/ad/ad_codes.h"

#include <ldap.h>

#include "platform/posix/directory/ldap_codes.h"

namespace ostrel_posix {
namespace {

// The DC's own codes of the directory service (0x2000 and up), by meaning.
constexpr DWORD kDsNoSuchObject = 0x2030;
constexpr DWORD kDsBadName = 0x202F;
constexpr DWORD kDsNameExists = 0x2071;
constexpr DWORD kDsAccessRights = 0x2098;
constexpr DWORD kPasswordRestriction = 0x52D;
constexpr DWORD kNoSuchUser = 0x525;

bool hex_value(std::string_view text, std::size_t max_digits, DWORD& value, std::size_t& used) {
  value = 0;
  used = 0;
  while (used < text.size() && used < max_digits) {
    const char c = text[used];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) break;
    value = value * 16 + static_cast<DWORD>(digit);
    ++used;
  }
  return used > 0;
}

}  // namespace

bool diagnostic_code(std::string_view diagnostic, DWORD& code) {
  std::size_t used = 0;
  return hex_value(diagnostic, 8, code, used) && used == 8 && diagnostic.size() > 8 &&
         diagnostic[8] == ':';
}

bool diagnostic_data(std::string_view diagnostic, DWORD& data) {
  const std::size_t at = diagnostic.find("data ");
  std::size_t used = 0;
  return at != std::string_view::npos && hex_value(diagnostic.substr(at + 5), 8, data, used);
}

DWORD domain_code(int ldap_result, std::string_view diagnostic, DomainCall call) {
  if (ldap_result == LDAP_SUCCESS) return NERR_Success;
  DWORD code = 0;
  if (diagnostic_code(diagnostic, code)) {
    switch (code) {
      case kPasswordRestriction:
        return NERR_PasswordTooShort;
      case kDsNameExists:
        return NERR_UserExists;
      case kDsNoSuchObject:
        return call == DomainCall::kAccount ? NERR_UserNotFound : NERR_GroupNotFound;
      case kNoSuchUser:
        return ERROR_NO_SUCH_MEMBER;
      case kDsBadName:
        return NERR_BadUsername;
      case kDsAccessRights:
        return ERROR_ACCESS_DENIED;
      case ERROR_INVALID_PASSWORD:
      case ERROR_INVALID_PARAMETER:
      case ERROR_ACCESS_DENIED:
        return code;
      default:
        break;  // the result code tells more than an unfamiliar one
    }
  }
  switch (ldap_result) {
    case LDAP_ALREADY_EXISTS:
      // The DC answers a member added again as an entry that exists.
      return call == DomainCall::kMemberAdd ? ERROR_MEMBER_IN_ALIAS : NERR_UserExists;
    case LDAP_NO_SUCH_OBJECT:
      return call == DomainCall::kMemberAdd ? ERROR_NO_SUCH_MEMBER
             : call == DomainCall::kAccount ? NERR_UserNotFound
                                            : NERR_GroupNotFound;
    case LDAP_CONSTRAINT_VIOLATION:
      // The DC's password rules answer here; a diagnostic without a code is one of them.
      return NERR_PasswordTooShort;
    default:
      return directory_code(ldap_result, call == DomainCall::kAccount ? DirectoryCall::kAccount
                                                                      : DirectoryCall::kGroup);
  }
}

DWORD domain_logon_code(int ldap_result, std::string_view diagnostic) {
  if (ldap_result == LDAP_SUCCESS) return NERR_Success;
  if (ldap_result != LDAP_INVALID_CREDENTIALS)
    return directory_code(ldap_result, DirectoryCall::kAccount);
  // The logon's own code; one the account code does not know stays a refusal.
  DWORD data = 0;
  if (!diagnostic_data(diagnostic, data)) return ERROR_LOGON_FAILURE;
  switch (data) {
    case ERROR_LOGON_FAILURE:
    case ERROR_PASSWORD_EXPIRED:
    case ERROR_ACCOUNT_DISABLED:
    case ERROR_ACCOUNT_EXPIRED:
    case ERROR_PASSWORD_MUST_CHANGE:
    case ERROR_ACCOUNT_LOCKED_OUT:
      return data;
    default:
      return ERROR_LOGON_FAILURE;
  }
}

}  // namespace ostrel_posix
