// Code page conversion and the per-thread last error. The ANSI code page is UTF-8 here,
// decoded strictly: a text that is not valid UTF-8 (or UTF-16) fails instead of being
// patched with replacement characters.
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/common/faults.h"
#include "platform/posix/common/utf.h"

namespace {

thread_local DWORD last_error = 0;

int fail(DWORD code) {
  last_error = code;
  return 0;
}

bool known_code_page(UINT code_page) {
  return code_page == CP_ACP || code_page == CP_UTF8;
}

// The input as a view; length -1 takes the text up to and including its terminator.
template <typename Char>
bool input_view(const Char* text, int length, std::basic_string_view<Char>& view) {
  if (text == nullptr || length == 0 || length < -1) return false;
  if (length > 0) {
    view = std::basic_string_view<Char>(text, static_cast<std::size_t>(length));
    return true;
  }
  const std::size_t n = std::char_traits<Char>::length(text) + 1;
  if (n > static_cast<std::size_t>(INT_MAX)) return false;
  view = std::basic_string_view<Char>(text, n);
  return true;
}

// Copies a converted text of size units out, or reports the size needed when the output
// size is 0.
template <typename Char>
int deliver(const Char* converted, std::size_t size, Char* out, int out_size) {
  if (size > static_cast<std::size_t>(INT_MAX)) return fail(ERROR_INSUFFICIENT_BUFFER);
  const int needed = static_cast<int>(size);
  if (out_size == 0) return needed;
  if (needed > out_size) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(out, converted, size * sizeof(Char));
  return needed;
}

// An all-ASCII input converts unit for byte: straight into an output that holds it (no
// copy kept to wipe), or the size needed when the output size is 0.
template <typename In, typename Out>
int deliver_ascii(std::basic_string_view<In> input, Out* out, int out_size) {
  const int needed = static_cast<int>(input.size());
  if (out_size == 0) return needed;
  if (needed > out_size) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::size_t written = 0;
  if constexpr (sizeof(In) == 1) {
    ostrel_posix::utf8_to_utf16(input, out, written);
  } else {
    ostrel_posix::utf16_to_utf8(input, out, written);
  }
  return needed;
}

// Room for a converted text: on the stack for texts of a few lines, else on the heap.
// The text may be a password: the units written (set by the caller) are wiped at the end.
template <typename Char, std::size_t kLocal>
struct Scratch {
  Char local[kLocal];
  std::basic_string<Char> heap;
  Char* used = nullptr;
  std::size_t written = 0;
  Char* get(std::size_t size) {
    if (size > kLocal) heap.resize(size);
    used = size <= kLocal ? local : heap.data();
    return used;
  }
  ~Scratch() { secure_wipe(used, written * sizeof(Char)); }
};

}  // namespace

DWORD GetLastError() {
  return last_error;
}

void SetLastError(DWORD code) {
  last_error = code;
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int text_length, LPWSTR wide,
                        int wide_units) {
  ostrel_posix::Fault fault;
  if (ostrel_posix::take_fault("MultiByteToWideChar", fault)) return fail(fault.code);
  if (!known_code_page(code_page)) return fail(ERROR_INVALID_PARAMETER);
  if (flags != 0) return fail(ERROR_INVALID_FLAGS);
  std::string_view input;
  if (!input_view(text, text_length, input)) return fail(ERROR_INVALID_PARAMETER);
  if (wide_units < 0 || (wide_units > 0 && wide == nullptr)) return fail(ERROR_INVALID_PARAMETER);
  if (ostrel_posix::all_ascii(input)) return deliver_ascii(input, wide, wide_units);
  Scratch<char16_t, 1024> scratch;
  char16_t* converted = scratch.get(input.size());
  std::size_t size = 0;
  const bool valid = ostrel_posix::utf8_to_utf16(input, converted, size);
  scratch.written = size;
  if (!valid) return fail(ERROR_NO_UNICODE_TRANSLATION);
  return deliver(converted, size, wide, wide_units);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR text,
                        int text_bytes, LPCSTR default_char, LPBOOL used_default) {
  ostrel_posix::Fault fault;
  if (ostrel_posix::take_fault("WideCharToMultiByte", fault)) return fail(fault.code);
  if (!known_code_page(code_page)) return fail(ERROR_INVALID_PARAMETER);
  if (flags != 0) return fail(ERROR_INVALID_FLAGS);
  // UTF-8 has no default character: every code point has a form.
  if (default_char != nullptr || used_default != nullptr) return fail(ERROR_INVALID_PARAMETER);
  std::u16string_view input;
  if (!input_view(wide, wide_length, input)) return fail(ERROR_INVALID_PARAMETER);
  if (text_bytes < 0 || (text_bytes > 0 && text == nullptr)) return fail(ERROR_INVALID_PARAMETER);
  if (ostrel_posix::all_ascii(input)) return deliver_ascii(input, text, text_bytes);
  Scratch<char, 3 * 1024> scratch;
  char* converted = scratch.get(input.size() * 3);
  std::size_t size = 0;
  const bool valid = ostrel_posix::utf16_to_utf8(input, converted, size);
  scratch.written = size;
  if (!valid) return fail(ERROR_NO_UNICODE_TRANSLATION);
  return deliver(converted, size, text, text_bytes);
}
