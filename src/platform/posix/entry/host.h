// This computer's name, and the rule for which server and domain names mean it.
#pragma once

#include <string>

#include "platform/platform.h"

namespace ostrel_posix {

/// The host name (gethostname) in UTF-16 with its terminator, copied into out when room
/// units hold it. Returns the units it takes, terminator included: 0 when the name cannot
/// be read or converted.
std::size_t copy_host_name_wide(char16_t* out, std::size_t room);

/// True when server names this computer: null, empty, "localhost" or the host name, with
/// or without two leading backslashes, compared case-insensitively; or the server whose
/// accounts the active backend serves (a domain controller).
bool is_local_server(const WCHAR* server);

/// The same for a logon domain or a member's domain; "." also means this computer.
bool is_local_domain(const WCHAR* domain);

}  // namespace ostrel_posix
