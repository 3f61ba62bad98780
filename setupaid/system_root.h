#pragma once

#include <string>
#include <string_view>

namespace setupaid {

// The environment variable that moves every system file below another folder.
inline constexpr const char* kRootVariable = "LW_SETUPAID_ROOT";

// The folder the system tree starts at: LW_SETUPAID_ROOT without trailing
// slashes, or empty for the real root. Read on every call, so that a process
// can change it between calls.
std::string SystemRoot();

// An absolute system path ("/etc/samba/smb.conf") below the system root.
std::string SystemPath(std::string_view absolutePath);

}  // namespace setupaid
