// NetLocalGroupAddMembers: the checks every backend shares, then the active backend's
// call. All members of one call join, or none does.
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/faults.h"
#include "platform/posix/common/names.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/entry/host.h"

namespace {

using namespace ostrel_posix;

// The account name of "name" or "DOMAIN\name": 0, ERROR_NO_SUCH_MEMBER for another
// computer's account, or ERROR_INVALID_MEMBER for a name no account can have.
DWORD member_name(const WCHAR* member, AccountName& account) {
  if (member == nullptr) return ERROR_INVALID_MEMBER;
  const std::size_t limit = 600;
  const std::u16string_view whole(member, bounded_length(member, limit));
  if (whole.size() > limit) return ERROR_INVALID_MEMBER;
  std::u16string_view name = whole;
  bool local = true;
  const std::size_t slash = whole.find(u'\\');
  if (slash != std::u16string_view::npos) {
    const std::u16string domain(whole.substr(0, slash));
    name = whole.substr(slash + 1);
    if (domain.empty()) return ERROR_INVALID_MEMBER;
    local = is_local_domain(domain.c_str());
  }
  if (!backend_valid_name(name) || !name_key(name, account.key) ||
      !utf16_to_utf8(name, account.text))
    return ERROR_INVALID_MEMBER;
  account.wide = name;
  return local ? 0 : ERROR_NO_SUCH_MEMBER;
}

}  // namespace

NET_API_STATUS NetLocalGroupAddMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE buffer,
                                       DWORD count) {
  Fault fault;
  if (take_fault("NetLocalGroupAddMembers", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 3) return ERROR_INVALID_LEVEL;
  if (group == nullptr || (buffer == nullptr && count != 0)) return ERROR_INVALID_PARAMETER;
  AccountName group_name;
  group_name.wide = std::u16string_view(group, bounded_length(group, kMaxTextUnits));
  if (group_name.wide.empty() || group_name.wide.size() > kMaxTextUnits ||
      !name_key(group_name.wide, group_name.key) ||
      !utf16_to_utf8(group_name.wide, group_name.text))
    return NERR_GroupNotFound;

  const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_3*>(buffer);
  std::vector<AccountName> names(count);
  for (DWORD i = 0; i < count; ++i)
    if (const DWORD rc = member_name(members[i].lgrmi3_domainandname, names[i]); rc != 0) return rc;
  return active_backend().add_members(group_name, names);
}
