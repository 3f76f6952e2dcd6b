#include "accounts/set_replies.h"

#include "accounts/accounts.h"
#include "service/service.h"

namespace {

constexpr const char* kNoAccess =
    "-ERR The user does not have access to the requested information.";
constexpr const char* kInvalidComputer = "-ERR The computer name is invalid.";
constexpr const char* kNotPrimary =
    "-ERR The operation is allowed only on the primary domain controller of the domain.";
constexpr const char* kPasswordTooShort = "-ERR The password is shorter than required.";
constexpr const char* kUserNotFound = "-ERR User account not found.";

void reply_unknown(NET_API_STATUS code) {
  reply_negative("-ERR %d:Unknown error has occurred.", static_cast<int>(code));
}

void reply_parameter(DWORD parm_index) {
  if (!report_bad_parameter(parm_index)) {
    reply_negative("-ERR Parameter %d is in error.", static_cast<int>(parm_index));
  }
}

}  // namespace

void reply_add_refused(NET_API_STATUS code, DWORD parm_index) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      reply_negative("%s", kNoAccess);
      break;
    case ERROR_BAD_NETPATH:
      reply_negative("-ERR %d:The network path was not found.", static_cast<int>(code));
      break;
    case ERROR_INVALID_PARAMETER:
      reply_parameter(parm_index);
      break;
    case NERR_GroupExists:
      reply_negative("-ERR The group already exists.");
      break;
    case NERR_NotPrimary:
      reply_negative("%s", kNotPrimary);
      break;
    case NERR_PasswordTooShort:
      reply_negative("%s", kPasswordTooShort);
      break;
    case NERR_InvalidComputer:
      reply_negative("%s", kInvalidComputer);
      break;
    default:  // NERR_UserExists too, when the repeated add is refused again
      reply_unknown(code);
      break;
  }
}

void reply_removal_refused(NET_API_STATUS code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      reply_negative("%s", kNoAccess);
      break;
    case NERR_NotPrimary:
      reply_negative("%s", kNotPrimary);
      break;
    case NERR_InvalidComputer:
      reply_negative("%s", kInvalidComputer);
      break;
    default:
      reply_unknown(code);
      break;
  }
}

void reply_group_refused(NET_API_STATUS code, const char* group) {
  switch (code) {
    case ERROR_MEMBER_IN_ALIAS:
      reply_negative("-ERR User was already a member of group %s.", group);
      break;
    case ERROR_INVALID_MEMBER:
      reply_negative("-ERR User account is invalid.");
      break;
    case NERR_GroupNotFound:
      reply_negative("-ERR Group %s does not exist.", group);
      break;
    default:
      reply_negative("-ERR %d:Unknown group error.", static_cast<int>(code));
      break;
  }
}

void reply_read_refused(NET_API_STATUS code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      reply_negative("%s", kNoAccess);
      break;
    case NERR_UserNotFound:
      reply_negative("%s", kUserNotFound);
      break;
    case NERR_InvalidComputer:
      reply_negative("%s", kInvalidComputer);
      break;
    default:
      reply_unknown(code);
      break;
  }
}

void reply_write_refused(NET_API_STATUS code, DWORD parm_index) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      reply_negative("%s", kNoAccess);
      break;
    case ERROR_INVALID_PARAMETER:
      reply_parameter(parm_index);
      break;
    case NERR_BadPassword:
      reply_negative("-ERR The share name or password is invalid.");
      break;
    case NERR_UserNotFound:
      reply_negative("%s", kUserNotFound);
      break;
    case NERR_NotPrimary:
      reply_negative("%s", kNotPrimary);
      break;
    case NERR_SpeGroupOp:
      reply_negative(
          "-ERR This operation is not allowed while you are a member or your current group.");
      break;
    case NERR_PasswordTooShort:
      reply_negative("%s", kPasswordTooShort);
      break;
    case NERR_InvalidComputer:
      reply_negative("%s", kInvalidComputer);
      break;
    case NERR_LastAdmin:
      reply_negative("-ERR This operation is not allowed on the last administrative account.");
      break;
    default:
      reply_unknown(code);
      break;
  }
}
