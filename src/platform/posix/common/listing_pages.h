// One page of a listing served from a directory server: accounts the server sent ahead
// wait in the listing until a page takes them, and the next page of the server is asked
// for whenever none wait and its cookie says more remain.
#pragma once

#include "platform/platform.h"
#include "platform/posix/common/net_buffer.h"

namespace ostrel_posix {

/// Moves the waiting accounts of listing (members pending, cookie, started, seen) into
/// records until the page is full or the server has sent all. fetch(listing) asks the
/// server for its next page; add(account, records) appends one account. 0 with more set
/// while accounts remain (the one that did not fit still waits), 0 with more clear when
/// the list is done, fetch's code, or NERR_InternalError when a record cannot be made.
template <typename Listing, typename Fetch, typename Add>
DWORD fill_listing_page(Listing& listing, DWORD filter, DWORD preferred_length,
                        UserRecords& records, bool& more, Fetch&& fetch, Add&& add) {
  more = false;
  for (;;) {
    if (listing.pending.empty()) {
      if (listing.started && listing.cookie.empty()) return 0;
      const DWORD code = fetch(listing);
      listing.started = true;
      if (code != 0) return code;
      continue;
    }
    const auto& account = listing.pending.front();
    if (filter != FILTER_NORMAL_ACCOUNT || (account.fields.flags & UF_NORMAL_ACCOUNT) != 0) {
      if (!add(account, records)) return NERR_InternalError;
      // Every page holds at least one account, however small the preferred length.
      if (preferred_length != MAX_PREFERRED_LENGTH && records.entries.size() > 1 &&
          records.bytes > preferred_length) {
        drop_last_user(records);
        more = true;
        return 0;
      }
    }
    listing.pending.pop_front();
    ++listing.seen;
  }
}

}  // namespace ostrel_posix
