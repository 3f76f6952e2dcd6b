// Injected failures: tests make the next call of a named function fail with a chosen code,
// to reach results the store cannot produce by itself.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/platform.h"

namespace ostrel_posix {

struct Fault {
  DWORD code = 0;
  DWORD parm_index = 0;
};

/// How many injected faults wait: none outside tests.
extern std::atomic<std::size_t> waiting_faults;

/// take_fault once a fault waits.
bool take_waiting_fault(const char* function_name, Fault& fault);

/// Takes the oldest fault injected for function_name; false when none is waiting. Every
/// platform call asks: the usual answer costs one load where the call is made.
inline bool take_fault(const char* function_name, Fault& fault) {
  if (waiting_faults.load(std::memory_order_acquire) == 0) return false;
  return take_waiting_fault(function_name, fault);
}

}  // namespace ostrel_posix
