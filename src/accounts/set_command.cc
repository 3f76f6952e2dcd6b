// The set command: creates an account with its attributes and joins it to the configured
// group, or hands an existing account with the password word "(NULL)" to the update.
#include <cstring>

#include "accounts/accounts.h"
#include "accounts/set_replies.h"
#include "log/log.h"
#include "service/service.h"
#include "settings/settings.h"

namespace {

constexpr DWORD kNewAccountFlags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;

// Wipes the password word of the command when the add is over, on every path.
struct NarrowWipe {
  char* text;
  ~NarrowWipe() {
    if (text) secure_wipe(text, std::strlen(text));
  }
};

NET_API_STATUS add_record(LPCWSTR host, USER_INFO_1* record, DWORD* parm_index) {
  *parm_index = 0;
  return NetUserAdd(host, 1, reinterpret_cast<LPBYTE>(record), parm_index);
}

}  // namespace

int add_account(char* const* words, int index) {
  log_info("Performing add");
  const char* user = words[index + 1];
  if (!user) return -1;
  log_info("User (%s)", user);
  WideBuffer wide_user = to_wide(user);
  if (!wide_user) {
    report_conversion_error();
    return 0;
  }
  char* password = words[index + 2];
  if (!password) return -1;

  if (same_text(password, "(NULL)") == 0) {
    // Only an account that can be read is updated; otherwise the probe's reply stands
    // alone and nothing is created (the word is no password to give a new account).
    if (account_exists(nullptr, wide_user.get()) == 1) return update_account(words, index);
    return 0;
  }

  NarrowWipe wipe{password};
  log_debug("Pass = xxxx");
  WideBuffer wide_password = to_wide(password);
  if (!wide_password) {
    report_conversion_error();
    return 0;
  }

  const char* group = text_of(settings().group);
  WideBuffer wide_group;
  if (group) {
    log_debug("Joining group (%s)", group);
    wide_group = to_wide(group);
    if (!wide_group) {
      report_conversion_error();
      return 0;
    }
  }

  WideBuffer host = resolve_host();
  USER_INFO_1 record{};
  record.usri1_name = wide_user.get();
  record.usri1_password = wide_password.get();
  record.usri1_password_age = 0;
  record.usri1_priv = USER_PRIV_USER;
  record.usri1_flags = kNewAccountFlags;
  AttributeBuffers owned;
  if (!apply_account_attributes(&record, words, index + 2, owned)) return 0;

  DWORD parm_index = 0;
  NET_API_STATUS code = add_record(host.get(), &record, &parm_index);
  if (code == NERR_UserExists) {
    // Replace the account of that name on the host the add goes to, removal and add as
    // one step, so that a process stopped half-way does not lose the account; a second
    // refusal of the add is answered like any other.
    log_debug("Removing existing user.");
    NET_API_STATUS removal = NERR_Success;
    parm_index = 0;
    code = platform_replace_user(host.get(), &record, &parm_index, &removal);
    if (removal != NERR_Success) {
      reply_removal_refused(removal);
      return 0;
    }
  }
  if (code != NERR_Success) {
    reply_add_refused(code, parm_index);
    return 0;
  }

  if (wide_group) {
    LOCALGROUP_MEMBERS_INFO_3 member{};
    member.lgrmi3_domainandname = wide_user.get();
    const NET_API_STATUS joined = NetLocalGroupAddMembers(host.get(), wide_group.get(), 3,
                                                          reinterpret_cast<LPBYTE>(&member), 1);
    if (joined != NERR_Success) {
      reply_group_refused(joined, group);
      return 0;
    }
  }
  reply_positive("+OK %s added to database.", user);
  return 1;
}
