// The host whose accounts are managed, and the replies for failed conversions and
// rejected account fields.
#include <algorithm>
#include <cstring>
#include <new>

#include "accounts/accounts.h"
#include "log/log.h"
#include "service/service.h"
#include "settings/settings.h"

namespace {

constexpr const char* kComputerNameKey =
    "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
constexpr const char* kComputerNameValue = "ComputerName";
// At most 255 units and the terminator are read: the zeroed unit behind them keeps the text
// terminated whatever the value holds.
constexpr DWORD kRegistryReadBytes = 512;
constexpr int kRegistryValueUnits = kRegistryReadBytes / sizeof(WCHAR) + 1;

// Reads the computer name from the registry into name (512 bytes); leaves it empty when
// it cannot be had.
void read_computer_name(char* name) {
  // The key path and value name hold no secret: plain arrays, not wiped heap buffers.
  WCHAR key_path[kWideUnits];
  WCHAR value_name[kWideUnits];
  WCHAR value[kRegistryValueUnits] = {};
  if (MultiByteToWideChar(CP_ACP, 0, kComputerNameKey, -1, key_path, kWideUnits) == 0 ||
      MultiByteToWideChar(CP_ACP, 0, kComputerNameValue, -1, value_name, kWideUnits) == 0) {
    log_info("Conversion error for KEY_COMPUTER_NAME - can't retrieve hostname from registry");
    return;
  }

  HKEY key = nullptr;
  DWORD size = kRegistryReadBytes;
  const bool opened = RegCreateKeyW(HKEY_LOCAL_MACHINE, key_path, &key) == 0;
  bool read = false;
  if (opened) {
    read = RegQueryValueExW(key, value_name, nullptr, nullptr, reinterpret_cast<LPBYTE>(value),
                            &size) == 0;
    RegCloseKey(key);
  }
  log_info("Got host name from registry");
  if (!opened || !read) return;

  if (to_narrow(value, name) == 0) {
    log_error("conversion error for computer name from registry entry");
    name[0] = '\0';
  }
}

}  // namespace

WideBuffer resolve_host() {
  WideBuffer result = new_wide_buffer();
  if (!result) return nullptr;

  char name[kLineBuffer];
  name[0] = '\0';
  const char* setting = text_of(settings().host);
  if (setting) {
    // A host setting is used even when empty: the registry is then not consulted.
    copy_bounded(name, setting, kLineLimit);
  } else {
    read_computer_name(name);
  }

  if (name[0] == '\0') {
    log_info(
        "Host - not set by 'host ini setting' and can't find in registry "
        "(HKEY_LOCAL_MACHINE) (%s))",
        kComputerNameKey);
    return nullptr;
  }

  log_info("Host {%s}", name);
  if (name[0] != '\\') {
    // Two backslashes ahead, the name cut to keep the whole within 511 characters.
    const std::size_t kept = std::min(std::strlen(name), static_cast<std::size_t>(kLineLimit - 2));
    std::memmove(name + 2, name, kept);
    name[0] = name[1] = '\\';
    name[kept + 2] = '\0';
    log_info("Host does not start with \\\\, so changed to (%s)", name);
  }

  if (MultiByteToWideChar(CP_ACP, 0, name, -1, result.get(), kWideUnits) == 0) return nullptr;
  return result;
}

void report_conversion_error() {
  const DWORD code = GetLastError();
  switch (code) {
    case ERROR_INVALID_PARAMETER:
      reply_negative("-ERR Unable to convert to unicode, invalid parameter.");
      break;
    case ERROR_INSUFFICIENT_BUFFER:
      reply_negative("-ERR Unable to convert to unicode, insufficient buffer space.");
      break;
    case ERROR_INVALID_FLAGS:
      reply_negative("-ERR Unable to convert to unicode, invalid flags.");
      break;
    case ERROR_NO_UNICODE_TRANSLATION:
      reply_negative("-ERR Unable to convert to unicode, no possible translation.");
      break;
    default:
      reply_negative("-ERR %d:Unable to convert to unicode.", static_cast<int>(code));
      break;
  }
}

int report_bad_parameter(DWORD parm_index) {
  static constexpr const char* kReplies[] = {
      "-ERR Username invalid.",  "-ERR Password invalid.",       "-ERR Password age invalid.",
      "-ERR Privilage invalid.", "-ERR Home directory invalid.", "-ERR Comment invlaid.",
      "-ERR Flags invalid.",     "-ERR Script path invalid.",
  };
  if (parm_index < 1 || parm_index > 8) return 0;
  reply_negative("%s", kReplies[parm_index - 1]);
  return 1;
}
