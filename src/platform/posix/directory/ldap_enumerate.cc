// Listing the directory's accounts with the paged-results control. The server's cookie
// belongs to the connection that asked, so each listing in progress owns a connection of
// its own, its cookie and the entries read but not yet returned; a resume handle names
// that slot. The server is asked to sort by uid, case ignored (the sssvlv overlay does);
// a directory that does not sort gets each page put in name order here, so that its
// listing is in order page by page only.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <thread>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/listing_pages.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/directory/ldap_codes.h"
#include "platform/posix/directory/ldap_connect.h"
#include "platform/posix/directory/ldap_entries.h"

namespace ostrel_posix {
namespace {

// Listings in progress (directory lock held); each holds a connection, so there are few.
// When every slot is taken the least recently used one is given up.
constexpr std::size_t kListingSlots = 8;
constexpr ber_int_t kPageEntries = 250;
// The longest pause before a busy page is asked for again (about 2 s of pauses in all).
constexpr int kBusyPauseLimitMs = 1024;

struct ListedAccount {
  std::string name, key;
  UserFields fields;
  std::int64_t password_set = 0;
};

struct Listing {
  DWORD handle = 0;  // 0: free
  LdapPtr ld;
  std::string cookie;
  bool started = false;
  std::deque<ListedAccount> pending;
  DWORD seen = 0;      // accounts taken from pending so far
  DWORD estimate = 0;  // the server's count of the whole list
  std::uint64_t used = 0;
};

std::array<Listing, kListingSlots> listings;
DWORD last_handle = 0;
std::uint64_t use_clock = 0;

Listing* find_listing(DWORD handle) {
  for (Listing& listing : listings)
    if (listing.handle == handle) return &listing;
  return nullptr;
}

Listing& free_listing() {
  Listing* chosen = &listings[0];
  for (Listing& listing : listings) {
    if (listing.handle == 0) return listing;
    if (listing.used < chosen->used) chosen = &listing;
  }
  *chosen = Listing{};  // given up: its connection closes
  return *chosen;
}

DWORD next_handle() {
  do {
    ++last_handle;
  } while (last_handle == 0 || find_listing(last_handle) != nullptr);
  return last_handle;
}

// Reads the next page of the listing into pending: 0 or a Windows code.
DWORD fetch_page(Listing& listing) {
  LDAP* ld = listing.ld.get();
  limit_next_step(ld);
  berval cookie{static_cast<ber_len_t>(listing.cookie.size()), listing.cookie.data()};
  LDAPControl* raw_page = nullptr;
  int rc =
      ldap_create_page_control(ld, kPageEntries, listing.started ? &cookie : nullptr, 1, &raw_page);
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
  const std::unique_ptr<LDAPControl, ControlFree> page(raw_page);
  // Asks the server to sort by name; one that cannot ignores the request (not critical).
  LDAPSortKey** keys = nullptr;
  LDAPControl* raw_sort = nullptr;
  if (ldap_create_sort_keylist(&keys, const_cast<char*>("uid:caseIgnoreOrderingMatch")) ==
      LDAP_SUCCESS) {
    ldap_create_sort_control(ld, keys, 0, &raw_sort);
    ldap_free_sort_keylist(keys);
  }
  const std::unique_ptr<LDAPControl, ControlFree> sort(raw_sort);
  // A control that could not be made ends the list early: it is only left out.
  LDAPControl* controls[] = {page.get(), nullptr, nullptr, nullptr};
  LDAPControl** next_control = &controls[1];
  for (LDAPControl* control : {sort.get(), usability_request()})
    if (control != nullptr) *next_control++ = control;
  Message result;
  // The sorting overlay answers "busy" to a page asked for while it still winds up the
  // one before: asked again after a pause, a little longer each time, before giving up.
  for (int pause_ms = 1;; pause_ms *= 2) {
    rc = search(ld, users_dn(), LDAP_SCOPE_ONELEVEL, "(objectClass=netUserAccount)",
                kAccountAttributes, result, controls);
    if (rc != LDAP_BUSY || pause_ms > kBusyPauseLimitMs) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  }
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);

  LDAPControl** raw_controls = nullptr;
  rc = ldap_parse_result(ld, result.get(), nullptr, nullptr, nullptr, nullptr, &raw_controls, 0);
  const std::unique_ptr<LDAPControl*, ControlsFree> response(raw_controls);
  listing.cookie.clear();
  if (rc != LDAP_SUCCESS) return directory_code(rc, DirectoryCall::kAccount);
  ber_int_t sorted = LDAP_OTHER;
  LDAPControl* sort_result = ldap_control_find(LDAP_CONTROL_SORTRESPONSE, raw_controls, nullptr);
  char* sort_attribute = nullptr;
  if (sort_result == nullptr ||
      ldap_parse_sortresponse_control(ld, sort_result, &sorted, &sort_attribute) != LDAP_SUCCESS)
    sorted = LDAP_OTHER;
  if (sort_attribute != nullptr) ldap_memfree(sort_attribute);

  std::vector<ListedAccount> batch;
  for (LDAPMessage* entry = ldap_first_entry(ld, result.get()); entry != nullptr;
       entry = ldap_next_entry(ld, entry)) {
    // An entry not named by a uid of its own is no account: it could be neither looked up
    // nor checked by that name, so it is not listed either, and the listing goes on.
    ListedAccount account;
    if (!read_account(ld, entry, account.name, account.fields, account.password_set)) continue;
    // A name that is not UTF-8 is left out; its key only orders a page the server did not
    // sort.
    std::u16string wide;
    if (!utf8_to_utf16(account.name, wide)) continue;
    if (sorted != LDAP_SUCCESS && !name_key(wide, account.key)) continue;
    batch.push_back(std::move(account));
  }
  if (sorted != LDAP_SUCCESS)
    std::sort(batch.begin(), batch.end(),
              [](const ListedAccount& a, const ListedAccount& b) { return a.key < b.key; });
  for (ListedAccount& account : batch) listing.pending.push_back(std::move(account));
  ber_int_t count = 0;
  if (!read_page_cookie(ld, raw_controls, listing.cookie, count)) return NERR_InternalError;
  if (count > 0) listing.estimate = std::max(listing.estimate, static_cast<DWORD>(count));
  return 0;
}

DWORD age_of(std::int64_t set, std::int64_t now) {
  const std::int64_t age = set > 0 && now > set ? now - set : 0;
  return age > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<DWORD>(age);
}

}  // namespace

void close_directory_listings() {
  for (Listing& listing : listings) listing = Listing{};
}

DWORD directory_enumerate(DWORD filter, DWORD preferred_length, DWORD* resume_handle,
                          UserRecords& records, DWORD& total) {
  auto lock = lock_directory();
  Listing* slot = nullptr;
  if (resume_handle != nullptr && *resume_handle != 0) {
    slot = find_listing(*resume_handle);
    if (slot == nullptr) return ERROR_INVALID_PARAMETER;  // unknown, finished or given up
  }
  Listing fresh;
  Listing& listing = slot != nullptr ? *slot : fresh;
  if (listing.ld == nullptr) {
    if (const DWORD rc = connect_service(directory_settings(), listing.ld); rc != 0) return rc;
  }

  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  bool more = false;
  const DWORD rc = fill_listing_page(
      listing, filter, preferred_length, records, more, [](Listing& l) { return fetch_page(l); },
      [now](const ListedAccount& account, UserRecords& out) {
        return add_user_fields(account.name, account.fields, age_of(account.password_set, now),
                               out);
      });
  if (rc != 0) {
    if (slot != nullptr) *slot = Listing{};
    return rc;
  }
  total = std::max(listing.estimate, listing.seen + static_cast<DWORD>(listing.pending.size()));

  if (more) {
    if (resume_handle != nullptr) {
      if (slot == nullptr) {
        slot = &free_listing();
        *slot = std::move(fresh);
        slot->handle = next_handle();
      }
      slot->used = ++use_clock;
      *resume_handle = slot->handle;
    }
    return ERROR_MORE_DATA;
  }
  if (slot != nullptr) *slot = Listing{};
  if (resume_handle != nullptr) *resume_handle = 0;
  return NERR_Success;
}

}  // namespace ostrel_posix
