// Local group membership. All members of one call join, or none does.
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/faults.h"
#include "platform/posix/host.h"
#include "platform/posix/names.h"
#include "platform/posix/store.h"
#include "platform/posix/utf.h"

namespace {

using namespace ostrel_posix;

// The account key of "name" or "DOMAIN\name": 0, ERROR_NO_SUCH_MEMBER for another
// computer's account, or ERROR_INVALID_MEMBER for a name no account can have.
DWORD member_key(const WCHAR* member, std::string& key) {
  if (member == nullptr) return ERROR_INVALID_MEMBER;
  const std::size_t limit = 600;
  const std::u16string_view whole(member, bounded_length(member, limit));
  if (whole.size() > limit) return ERROR_INVALID_MEMBER;
  std::u16string_view name = whole;
  const std::size_t slash = whole.find(u'\\');
  if (slash != std::u16string_view::npos) {
    const std::u16string domain(whole.substr(0, slash));
    name = whole.substr(slash + 1);
    if (domain.empty()) return ERROR_INVALID_MEMBER;
    if (!valid_account_name(name) || !name_key(name, key)) return ERROR_INVALID_MEMBER;
    return is_local_domain(domain.c_str()) ? 0 : ERROR_NO_SUCH_MEMBER;
  }
  return valid_account_name(name) && name_key(name, key) ? 0 : ERROR_INVALID_MEMBER;
}

}  // namespace

NET_API_STATUS NetLocalGroupAddMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE buffer,
                                       DWORD count) {
  Fault fault;
  if (take_fault("NetLocalGroupAddMembers", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 3) return ERROR_INVALID_LEVEL;
  if (group == nullptr || (buffer == nullptr && count != 0)) return ERROR_INVALID_PARAMETER;
  std::string group_key;
  const std::u16string_view group_name(group, bounded_length(group, kMaxTextUnits));
  if (group_name.empty() || group_name.size() > kMaxTextUnits || !name_key(group_name, group_key))
    return NERR_GroupNotFound;

  const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_3*>(buffer);
  std::vector<std::string> keys(count);
  for (DWORD i = 0; i < count; ++i)
    if (const DWORD rc = member_key(members[i].lgrmi3_domainandname, keys[i]); rc != 0) return rc;

  auto lock = lock_store();
  if (const DWORD rc = open_store(); rc != 0) return rc;
  Transaction transaction(true);
  if (transaction.status != 0) return transaction.status;
  {
    Statement exists(kGroupExists);
    bind_text(exists.stmt, 1, group_key);
    const int rc = sqlite3_step(exists.stmt);
    if (rc == SQLITE_DONE) return NERR_GroupNotFound;
    if (rc != SQLITE_ROW) return store_error(rc);
  }
  for (const std::string& key : keys) {
    {
      Statement exists(kAccountExists);
      bind_text(exists.stmt, 1, key);
      const int rc = sqlite3_step(exists.stmt);
      if (rc == SQLITE_DONE) return ERROR_NO_SUCH_MEMBER;
      if (rc != SQLITE_ROW) return store_error(rc);
    }
    Statement add(kAddMember);
    bind_text(add.stmt, 1, group_key);
    bind_text(add.stmt, 2, key);
    const int rc = sqlite3_step(add.stmt);
    if (rc != SQLITE_DONE) return store_error(rc);
    if (store_changes() == 0) return ERROR_MEMBER_IN_ALIAS;
  }
  return transaction.commit();
}
