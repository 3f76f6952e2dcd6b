// Listing the domain's user accounts with the paged-results control, sorted by the DC by
// sAMAccountName. The DC's cookie belongs to the connection that asked, so each listing in
// progress owns a connection of its own, its cookie and the entries read but not yet
// returned; a resume handle names that slot.
#include <algorithm>
#include <deque>
#include <set>
#include <string>

#include "platform/posix/ad/ad_codes.h"
#include "platform/posix/ad/ad_connect.h"
#include "platform/posix/ad/ad_entries.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/listing_pages.h"
#include "platform/posix/common/listing_slots.h"
#include "platform/posix/directory/ldap_entries.h"

namespace ostrel_posix {
namespace {

constexpr std::size_t kListingSlots = 8;
constexpr ber_int_t kPageEntries = 1000;

struct ListedAccount {
  std::string name;
  UserFields fields;
  DWORD password_age = 0;
};

struct Listing {
  DWORD handle = 0;  // 0: free
  LdapPtr ld;
  std::string cookie;
  bool started = false;
  std::deque<ListedAccount> pending;
  DWORD seen = 0;
  std::uint64_t used = 0;
};

ListingSlots<Listing, kListingSlots> listings;

DWORD fetch_page(Listing& listing, const std::set<std::string>& admins) {
  LDAP* ld = listing.ld.get();
  berval cookie{static_cast<ber_len_t>(listing.cookie.size()), listing.cookie.data()};
  LDAPControl* raw_page = nullptr;
  int rc =
      ldap_create_page_control(ld, kPageEntries, listing.started ? &cookie : nullptr, 1, &raw_page);
  if (rc != LDAP_SUCCESS) return NERR_InternalError;
  const Control page(raw_page);
  LDAPSortKey** keys = nullptr;
  LDAPControl* raw_sort = nullptr;
  if (ldap_create_sort_keylist(&keys, const_cast<char*>("sAMAccountName")) == LDAP_SUCCESS) {
    ldap_create_sort_control(ld, keys, 0, &raw_sort);
    ldap_free_sort_keylist(keys);
  }
  const Control sort(raw_sort);
  LDAPControl* controls[] = {page.get(), sort.get(), nullptr};
  Message result;
  // The DC sorts the whole list before its first page: that one may take the call's
  // whole network budget, where any other step gets the step timeout.
  const std::chrono::milliseconds longest =
      listing.started ? step_limit() : kCallBudgetSteps * step_limit();
  limit_next_step(ld, longest);
  timeval timeout = to_timeval(step_time(longest));
  LDAPMessage* raw = nullptr;
  rc = ldap_search_ext_s(
      ld, domain_base().c_str(), LDAP_SCOPE_SUBTREE, domain_account_filter(nullptr).c_str(),
      const_cast<char**>(kDomainAccountAttributes), 0, controls, nullptr, &timeout, 0, &raw);
  result.reset(raw);
  if (rc != LDAP_SUCCESS) return domain_code(rc, diagnostic_of(ld), DomainCall::kAccount);
  for (LDAPMessage* entry = ldap_first_entry(ld, result.get()); entry != nullptr;
       entry = ldap_next_entry(ld, entry)) {
    ListedAccount& account = listing.pending.emplace_back();
    if (!read_domain_account(ld, entry, admins, account.name, account.fields, account.password_age))
      return NERR_InternalError;
  }
  LDAPControl** raw_controls = nullptr;
  rc = ldap_parse_result(ld, result.get(), nullptr, nullptr, nullptr, nullptr, &raw_controls, 0);
  const Controls response(raw_controls);
  listing.cookie.clear();
  if (rc != LDAP_SUCCESS) return NERR_InternalError;
  ber_int_t count = 0;
  if (!read_page_cookie(ld, raw_controls, listing.cookie, count)) return NERR_InternalError;
  return 0;
}

}  // namespace

void close_domain_listings() {
  listings.clear();
}

DWORD ad_enumerate(DWORD filter, DWORD preferred_length, DWORD* resume_handle, UserRecords& records,
                   DWORD& total) {
  auto lock = lock_domain();
  Listing* slot = nullptr;
  if (resume_handle != nullptr && *resume_handle != 0) {
    slot = listings.find(*resume_handle);
    if (slot == nullptr) return ERROR_INVALID_PARAMETER;  // unknown, finished or given up
  }
  const std::set<std::string>* admins = nullptr;
  if (const DWORD code = admin_groups(admins); code != 0) return code;
  Listing fresh;
  Listing& listing = slot != nullptr ? *slot : fresh;
  if (listing.ld == nullptr) {
    if (const DWORD code = connect_domain_service(listing.ld); code != 0) return code;
  }
  bool more = false;
  const DWORD code = fill_listing_page(
      listing, filter, preferred_length, records, more,
      [admins](Listing& l) { return fetch_page(l, *admins); },
      [](const ListedAccount& account, UserRecords& out) {
        return add_user_fields(account.name, account.fields, account.password_age, out);
      });
  if (code != 0) {
    listings.release(slot);
    return code;
  }
  total = listing.seen + static_cast<DWORD>(listing.pending.size());
  if (more) {
    if (resume_handle != nullptr) *resume_handle = listings.keep(slot, listing);
    return ERROR_MORE_DATA;
  }
  listings.release(slot);
  if (resume_handle != nullptr) *resume_handle = 0;
  return NERR_Success;
}

}  // namespace ostrel_posix
