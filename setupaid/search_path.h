#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace setupaid {

// Files through which a folder joins the search path of new sessions:
// login shells source /etc/profile.d/*.sh, and systemd's environment
// generator reads /etc/environment.d/*.conf for desktop sessions.
inline constexpr std::string_view kProfileScript = "/etc/profile.d/linewatch-path.sh";
inline constexpr std::string_view kEnvironmentFile = "/etc/environment.d/60-linewatch-path.conf";

// Adds folder to the system search path. A folder already an entry of the
// system's default path (login.defs, /etc/environment) or of our own files
// is not added again; entries are compared whole, never as substrings.
// Refused (6): a folder that is empty, relative, or holds ":", a quote, "$",
// "`", a backslash or a control character, any of which would either split
// the path or be read by the shell as more than a name; and a folder in which
// a user other than root could put a program: one that exists and is not
// root's own or that others can write to, or that does not exist yet where
// others could make it.
int AddSearchPathFolder(std::string_view folder);

// The folders our profile script and environment file add, in file order.
std::vector<std::string> ProfileScriptFolders(std::string_view script);
std::vector<std::string> EnvironmentFileFolders(std::string_view file);

}  // namespace setupaid
