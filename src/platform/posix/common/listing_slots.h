// Listings in progress whose state cannot be told in a key alone (a connection of their
// own, the server's cookie, entries read ahead). A resume handle names a slot; a handle is
// never reused while its number has not wrapped; when every slot is taken the least
// recently used listing is given up. Listing has the members handle (0: free) and used,
// and is movable. The caller serialises the use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/platform.h"

namespace ostrel_posix {

template <typename Listing, std::size_t kSlots>
class ListingSlots {
 public:
  /// The listing of handle; null for one unknown, finished or given up.
  Listing* find(DWORD handle) {
    for (Listing& listing : slots_)
      if (listing.handle != 0 && listing.handle == handle) return &listing;
    return nullptr;
  }

  /// Keeps listing (moved into a new slot when slot is null) and returns its handle.
  DWORD keep(Listing* slot, Listing& listing) {
    if (slot == nullptr) {
      slot = &take();
      const DWORD handle = slot->handle;
      *slot = std::move(listing);
      slot->handle = handle;
    }
    slot->used = ++use_clock_;
    return slot->handle;
  }

  /// Frees slot (null: nothing): its listing is done.
  static void release(Listing* slot) {
    if (slot != nullptr) *slot = Listing{};
  }

  /// Gives up every listing.
  void clear() {
    for (Listing& listing : slots_) listing = Listing{};
  }

 private:
  // A free slot, else the least recently used one given up, under a handle not in use.
  Listing& take() {
    Listing* chosen = &slots_[0];
    for (Listing& listing : slots_) {
      if (listing.handle == 0) {
        chosen = &listing;
        break;
      }
      if (listing.used < chosen->used) chosen = &listing;
    }
    *chosen = Listing{};
    do {
      ++last_handle_;
    } while (last_handle_ == 0 || find(last_handle_) != nullptr);
    chosen->handle = last_handle_;
    return *chosen;
  }

  std::array<Listing, kSlots> slots_{};
  DWORD last_handle_ = 0;
  std::uint64_t use_clock_ = 0;
};

}  // namespace ostrel_posix
