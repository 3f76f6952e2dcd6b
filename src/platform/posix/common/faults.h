// Injected failures: tests make the next call of a named function fail with a chosen code,
// to reach results the store cannot produce by itself.
#pragma once

#include "platform/platform.h"

namespace ostrel_posix {

struct Fault {
  DWORD code = 0;
  DWORD parm_index = 0;
};

/// Takes the oldest fault injected for function_name; false when none is waiting.
bool take_fault(const char* function_name, Fault& fault);

}  // namespace ostrel_posix
