// Conversion between the ANSI code page of the command side and the UTF-16 of the
// platform side, in the fixed 512-unit and 512-byte buffers.
#include <new>

#include "accounts/accounts.h"

namespace {

// Released buffers, wiped, that the thread keeps for its next ones: a command takes two
// or three and gives them back before the next line, so most commands allocate none.
struct SpareWideBuffers {
  static constexpr int kKept = 4;
  WCHAR* kept[kKept] = {};
  int count = 0;
  bool closed = false;  // the thread is ending: buffers released now go to the heap
  ~SpareWideBuffers() {
    for (int i = 0; i < count; ++i) delete[] kept[i];
    count = 0;
    closed = true;
  }
};

thread_local SpareWideBuffers spares;

}  // namespace

void WideDeleter::operator()(WCHAR* p) const {
  if (!p) return;
  // Any wide buffer may have held a password: clear it before it is kept or freed.
  secure_wipe(p, sizeof(WCHAR) * kWideUnits);
  if (!spares.closed && spares.count < SpareWideBuffers::kKept) {
    spares.kept[spares.count++] = p;
    return;
  }
  delete[] p;
}

WideBuffer new_wide_buffer() {
  // A kept buffer was wiped to zeros on release.
  if (spares.count > 0) return WideBuffer(spares.kept[--spares.count]);
  return WideBuffer(new (std::nothrow) WCHAR[kWideUnits]());
}

WideBuffer to_wide(const char* text) {
  WideBuffer wide = new_wide_buffer();
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
