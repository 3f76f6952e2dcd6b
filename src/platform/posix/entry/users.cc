// NetUserAdd, NetUserSetInfo, NetUserGetInfo and NetUserDel: the checks every backend
// shares (injected faults, host rule, level, names, passwords, fields), then the active
// backend's call.
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/faults.h"
#include "platform/posix/common/hashing.h"
#include "platform/posix/common/names.h"
#include "platform/posix/common/net_buffer.h"
#include "platform/posix/common/password_policy.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/entry/host.h"

namespace {

using namespace ostrel_posix;

NET_API_STATUS refuse(LPDWORD parm_err, DWORD index) {
  if (parm_err != nullptr) *parm_err = index;
  return ERROR_INVALID_PARAMETER;
}

// Checks a new password: 0, ERROR_INVALID_PARAMETER (index 2) or NERR_PasswordTooShort. An
// empty password is refused: an account must not be opened by an empty line.
DWORD check_password(const WCHAR* password, SecretText& text) {
  if (!password_to_utf8(password, kMaxPasswordUnits, text)) return ERROR_INVALID_PARAMETER;
  return text.text.empty() ? NERR_PasswordTooShort : 0;
}

// The name of an existing account as callers give it: false for one no account can have.
bool lookup_name(const WCHAR* user, AccountName& name) {
  return backend_account_name(user, name.wide, name.key) && utf16_to_utf8(name.wide, name.text);
}

// The password and fields of a record for an add or an update of the account name. A new
// password meets the password policy last, so that a record refused for a field never
// costs a look into the deny list; the domain keeps its own policy.
NET_API_STATUS check_record(const AccountName& name, const USER_INFO_1& info, SecretText& password,
                            UserFields& fields, LPDWORD parm_err) {
  if (info.usri1_password != nullptr) {
    const DWORD rc = check_password(info.usri1_password, password);
    if (rc == ERROR_INVALID_PARAMETER) return refuse(parm_err, kParmPassword);
    if (rc != 0) return rc;
  }
  DWORD parm_index = 0;
  if (prepare_user_fields(info, fields, parm_index) != 0) return refuse(parm_err, parm_index);
  const auto check = active_backend().check_fields;
  if (check != nullptr && check(fields, parm_index) != 0) return refuse(parm_err, parm_index);
  if (info.usri1_password != nullptr && &active_backend() != &domain_backend())
    return check_password_policy(name, password.text);
  return 0;
}

}  // namespace

NET_API_STATUS NetUserAdd(LPCWSTR server, DWORD level, LPBYTE buffer, LPDWORD parm_err) {
  Fault fault;
  if (take_fault("NetUserAdd", fault)) {
    if (parm_err != nullptr) *parm_err = fault.parm_index;
    return fault.code;
  }
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  const USER_INFO_1& info = *reinterpret_cast<const USER_INFO_1*>(buffer);

  AccountName name;
  if (!lookup_name(info.usri1_name, name)) return refuse(parm_err, kParmName);
  SecretText password;
  UserFields fields;
  if (const NET_API_STATUS rc = check_record(name, info, password, fields, parm_err); rc != 0)
    return rc;
  return active_backend().add_user(name, fields,
                                   info.usri1_password != nullptr ? &password.text : nullptr);
}

NET_API_STATUS NetUserSetInfo(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE buffer,
                              LPDWORD parm_err) {
  Fault fault;
  if (take_fault("NetUserSetInfo", fault)) {
    if (parm_err != nullptr) *parm_err = fault.parm_index;
    return fault.code;
  }
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  AccountName name;
  if (!lookup_name(user, name)) return NERR_UserNotFound;
  const USER_INFO_1& info = *reinterpret_cast<const USER_INFO_1*>(buffer);

  // The record's name is not used: an account is not renamed here. A null password keeps
  // the stored one.
  SecretText password;
  UserFields fields;
  if (const NET_API_STATUS rc = check_record(name, info, password, fields, parm_err); rc != 0)
    return rc;
  return active_backend().set_user(name, fields,
                                   info.usri1_password != nullptr ? &password.text : nullptr);
}

NET_API_STATUS NetUserGetInfo(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE* buffer) {
  if (buffer != nullptr) *buffer = nullptr;
  Fault fault;
  if (take_fault("NetUserGetInfo", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  AccountName name;
  if (!lookup_name(user, name)) return NERR_UserNotFound;

  CallRecords records;
  if (const DWORD rc = active_backend().get_user(name, *records); rc != 0) return rc;
  *buffer = pack_user_records(*records);
  return *buffer == nullptr ? ERROR_NOT_ENOUGH_MEMORY : NERR_Success;
}

NET_API_STATUS NetUserDel(LPCWSTR server, LPCWSTR user) {
  Fault fault;
  if (take_fault("NetUserDel", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  AccountName name;
  if (!lookup_name(user, name)) return NERR_UserNotFound;
  return active_backend().delete_user(name);
}

NET_API_STATUS platform_replace_user(LPCWSTR server, USER_INFO_1* record, LPDWORD parm_err,
                                     NET_API_STATUS* removal_status) {
  NET_API_STATUS unused = 0;
  NET_API_STATUS& removal = removal_status != nullptr ? *removal_status : unused;
  removal = NERR_Success;
  // Injected faults stand for the two calls this step replaces: a failed removal ends it;
  // a failed add comes after a removal that took effect.
  Fault fault;
  if (take_fault("NetUserDel", fault)) return removal = fault.code;
  if (take_fault("NetUserAdd", fault)) {
    removal = NetUserDel(server, record != nullptr ? record->usri1_name : nullptr);
    if (removal != NERR_Success) return removal;
    if (parm_err != nullptr) *parm_err = fault.parm_index;
    return fault.code;
  }
  if (!is_local_server(server)) return removal = ERROR_BAD_NETPATH;
  if (record == nullptr) return removal = ERROR_INVALID_PARAMETER;
  AccountName name;
  if (!lookup_name(record->usri1_name, name)) return removal = NERR_UserNotFound;
  // A record the add would refuse is refused before anything is removed.
  SecretText password;
  UserFields fields;
  if (const NET_API_STATUS rc = check_record(name, *record, password, fields, parm_err); rc != 0)
    return rc;
  DWORD removed = 0;
  const DWORD rc = active_backend().replace_user(
      name, fields, record->usri1_password != nullptr ? &password.text : nullptr, removed);
  removal = removed;
  return rc;
}
