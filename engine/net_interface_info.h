#pragma once

#include <optional>
#include <string>
#include <string_view>

// Facts of a network interface as sysfs shows them under
// <sysfsNetRoot>/<name>/ (normally /sys/class/net). Tests point the root at
// a planted tree. Every function refuses a name that is not a plain
// interface name, so that no name can reach outside the root.

// Non-empty, shorter than IFNAMSIZ, no '/', neither "." nor "..".
bool IsPlainInterfaceName(std::string_view name);

// The first line of a small attribute ("type", "carrier", "ifindex"...),
// without its line end or trailing spaces; nullopt when it cannot be read.
std::optional<std::string> ReadInterfaceAttribute(const std::string& sysfsNetRoot,
                                                  const std::string& name,
                                                  std::string_view attribute);

// Whether the interface (empty `entry`) or an entry inside its folder
// exists; a link counts, whatever it points to.
bool InterfaceEntryExists(const std::string& sysfsNetRoot, const std::string& name,
                          std::string_view entry = {});

// IFF_UP of the interface's "flags" (e.g. "0x1003"); nullopt when unreadable.
std::optional<bool> ReadInterfaceAdministrativelyUp(const std::string& sysfsNetRoot,
                                                    const std::string& name);
