#include "platform/posix/directory/ldap_codes.h"

#include <ldap.h>

namespace ostrel_posix {

DWORD directory_code(int ldap_result, DirectoryCall call) {
  switch (ldap_result) {
    case LDAP_SUCCESS:
      return NERR_Success;
    case LDAP_ALREADY_EXISTS:
      return NERR_UserExists;
    case LDAP_NO_SUCH_OBJECT:
      return call == DirectoryCall::kAccount ? NERR_UserNotFound : NERR_GroupNotFound;
    case LDAP_INSUFFICIENT_ACCESS:
    case LDAP_AUTH_METHOD_NOT_SUPPORTED:
    case LDAP_CONFIDENTIALITY_REQUIRED:
    case LDAP_INAPPROPRIATE_AUTH:
    case LDAP_UNWILLING_TO_PERFORM:
      return ERROR_ACCESS_DENIED;
    case LDAP_INVALID_CREDENTIALS:
      return ERROR_LOGON_FAILURE;
    case LDAP_CONSTRAINT_VIOLATION:
    case LDAP_INVALID_SYNTAX:
    case LDAP_UNDEFINED_TYPE:
    case LDAP_OBJECT_CLASS_VIOLATION:
    case LDAP_NAMING_VIOLATION:
    case LDAP_INVALID_DN_SYNTAX:
    case LDAP_FILTER_ERROR:
      return ERROR_INVALID_PARAMETER;
    case LDAP_PARAM_ERROR:
      // A URI libldap cannot use names no computer.
      return call == DirectoryCall::kInitialize ? NERR_InvalidComputer : ERROR_INVALID_PARAMETER;
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_TIMEOUT:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
      return ERROR_BAD_NETPATH;
    case LDAP_TYPE_OR_VALUE_EXISTS:
      return call == DirectoryCall::kMemberAdd ? ERROR_MEMBER_IN_ALIAS : NERR_InternalError;
    case LDAP_NO_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      // Referrals, size limits, other failures of the directory.
      return NERR_InternalError;
  }
}

}  // namespace ostrel_posix
