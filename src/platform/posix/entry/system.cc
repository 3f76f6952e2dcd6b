// The system directory (the install's configuration directory) and the one registry value
// the program reads: the computer name, which is the host name here.
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/common/faults.h"
#include "platform/posix/common/names.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/entry/host.h"

#ifndef OSTREL_SYSCONFDIR
#define OSTREL_SYSCONFDIR "/etc"
#endif

// The registry keys this stand-in knows; handles are their addresses.
struct OstrelRegistryKey {
  int id;
};

namespace {

OstrelRegistryKey computer_name_key{1};

constexpr std::u16string_view kComputerNamePath =
    u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
constexpr std::u16string_view kComputerNameValue = u"ComputerName";

// Registry names compare case-insensitively. The expected names are ASCII: a name in
// ASCII compares unit by unit; any other goes through the full case folding.
bool same_name(const WCHAR* name, std::u16string_view expected) {
  const std::size_t n = ostrel_posix::bounded_length(name, expected.size());
  if (n != expected.size()) return false;
  if (std::memcmp(name, expected.data(), n * sizeof(WCHAR)) == 0) return true;  // as expected
  auto upper = [](char16_t unit) -> char16_t {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
  };
  bool ascii = true;
  for (std::size_t i = 0; i < n && ascii; ++i) {
    if (name[i] >= 0x80) {
      ascii = false;
    } else if (upper(name[i]) != upper(expected[i])) {
      return false;
    }
  }
  if (ascii) return true;
  std::string a, b;
  return n == expected.size() && ostrel_posix::name_key(std::u16string_view(name, n), a) &&
         ostrel_posix::name_key(expected, b) && a == b;
}

bool is_root(HKEY key) {
  return key == HKEY_LOCAL_MACHINE;
}

}  // namespace

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  ostrel_posix::Fault fault;
  if (ostrel_posix::take_fault("GetSystemDirectoryW", fault)) {
    SetLastError(fault.code);
    return 0;
  }
  std::u16string directory;
  if (!ostrel_posix::utf8_to_utf16(OSTREL_SYSCONFDIR, directory)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  const UINT length = static_cast<UINT>(directory.size());
  // Too small: the size needed, terminator included.
  if (buffer == nullptr || size <= length) return length + 1;
  std::memcpy(buffer, directory.c_str(), (directory.size() + 1) * sizeof(WCHAR));
  return length;
}

LONG RegCreateKeyW(HKEY key, LPCWSTR sub_key, PHKEY result) {
  ostrel_posix::Fault fault;
  if (ostrel_posix::take_fault("RegCreateKeyW", fault)) return static_cast<LONG>(fault.code);
  if (result == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  if (!is_root(key) && key != &computer_name_key) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (sub_key == nullptr || sub_key[0] == 0) {
    *result = key;
    return static_cast<LONG>(ERROR_SUCCESS);
  }
  if (is_root(key) && same_name(sub_key, kComputerNamePath)) {
    *result = &computer_name_key;
    return static_cast<LONG>(ERROR_SUCCESS);
  }
  // Nothing else is kept here, and nothing can be created.
  return static_cast<LONG>(ERROR_ACCESS_DENIED);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size) {
  ostrel_posix::Fault fault;
  if (ostrel_posix::take_fault("RegQueryValueExW", fault)) return static_cast<LONG>(fault.code);
  if (!is_root(key) && key != &computer_name_key) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (reserved != nullptr || (data != nullptr && data_size == nullptr))
    return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  if (key != &computer_name_key || value_name == nullptr ||
      !same_name(value_name, kComputerNameValue))
    return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  // gethostname's 255 bytes are at most 255 units.
  char16_t host[256];
  const std::size_t units = ostrel_posix::copy_host_name_wide(host, std::size(host));
  if (units == 0 || units > std::size(host)) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  const DWORD needed = static_cast<DWORD>(units * sizeof(WCHAR));
  if (type != nullptr) *type = REG_SZ;
  if (data == nullptr) {
    if (data_size != nullptr) *data_size = needed;
    return static_cast<LONG>(ERROR_SUCCESS);
  }
  if (*data_size < needed) {
    *data_size = needed;
    return static_cast<LONG>(ERROR_MORE_DATA);
  }
  std::memcpy(data, host, needed);
  *data_size = needed;
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
  if (!is_root(key) && key != &computer_name_key) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  return static_cast<LONG>(ERROR_SUCCESS);
}
