// Resume handles of listings in progress. A handle names a slot that holds where its
// listing stands (the key or name of the last account returned), so the next page starts
// after it. A handle is never reused while its number has not wrapped; when every slot is
// taken the least recently used one is given up. The caller serialises the use.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace ostrel_posix {

struct ResumeSlot {
  DWORD handle = 0;  // 0: free
  std::string last_key;
  std::uint64_t used = 0;
};

class ResumeSlots {
 public:
  /// The slot of handle; null for one unknown, finished or given up.
  ResumeSlot* find(DWORD handle) {
    for (ResumeSlot& slot : slots_)
      if (slot.handle == handle) return &slot;
    return nullptr;
  }

  /// Keeps last_key in slot (a new one when null) and returns the handle that names it.
  DWORD keep(ResumeSlot* slot, const std::string& last_key) {
    if (slot == nullptr) slot = &take();
    slot->last_key = last_key;
    slot->used = ++use_clock_;
    return slot->handle;
  }

  /// Frees slot (null: nothing): its listing is done.
  static void release(ResumeSlot* slot) {
    if (slot != nullptr) *slot = ResumeSlot{};
  }

 private:
  // A free slot, else the least recently used one, under a handle not in use.
  ResumeSlot& take() {
    ResumeSlot* chosen = &slots_[0];
    for (ResumeSlot& slot : slots_) {
      if (slot.handle == 0) {
        chosen = &slot;
        break;
      }
      if (slot.used < chosen->used) chosen = &slot;
    }
    do {
      ++last_handle_;
    } while (last_handle_ == 0 || find(last_handle_) != nullptr);
    chosen->handle = last_handle_;
    return *chosen;
  }

  std::array<ResumeSlot, 64> slots_{};
  DWORD last_handle_ = 0;
  std::uint64_t use_clock_ = 0;
};

}  // namespace ostrel_posix
