// Conversion between the ANSI code page of the command side and the UTF-16 of the
// platform side, in the fixed 512-unit and 512-byte buffers.
#include <new>

#include "accounts/accounts.h"

void WideDeleter::operator()(WCHAR* p) const {
  if (!p) return;
  // Any wide buffer may have held a password: clear it before it goes back to the heap.
  secure_wipe(p, sizeof(WCHAR) * kWideUnits);
  delete[] p;
}

WideBuffer to_wide(const char* text) {
  WideBuffer wide(new (std::nothrow) WCHAR[kWideUnits]());
  if (!wide) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.get(), kWideUnits) == 0) {
    // The caller reports the failure from the last error code: keep it across the release.
    const DWORD code = GetLastError();
    wide.reset();
    SetLastError(code);
    return nullptr;
  }
  return wide;
}

int to_narrow(LPCWSTR wide, char* out) {
  return WideCharToMultiByte(CP_ACP, 0, wide, -1, out, kLineBuffer, nullptr, nullptr);
}
