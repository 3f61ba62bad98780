#pragma once

#include <string>
#include <string_view>

// Full path of the running executable; empty on failure.
std::string GetProgramPath();

// The executable's path less its last component, without a trailing slash
// ("/usr/bin/linewatch" gives "/usr/bin"; an executable in "/" gives "").
std::string GetProgramFolder();

// The user's application-data folder: $XDG_DATA_HOME when it is an absolute
// path, else ~/.local/share; empty when neither can be determined.
std::string GetAppDataFolder();

// Expands %NAME% references from the environment. APPDATA, when the
// environment lacks it, is GetAppDataFolder(). A reference to an unknown name,
// or a lone "%", stays as written. Backslashes in the text itself (stored paths
// written with Windows separators) become slashes; substituted values are
// taken as they are.
std::string ExpandEnvironmentText(std::string_view text);
