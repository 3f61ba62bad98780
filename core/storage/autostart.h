#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/storage/registry_store.h"
#include "core/storage/storage_names.h"

// The registry's Run key, mounted on XDG autostart. Under either root the
// value "Line Watchman" of the Run key is not kept in the registry database
// but is the autostart file of that root, so that what the program reads is
// what the desktop will really start at log-in:
//   current user:  <user autostart folder>/linewatch.desktop
//   all users:     <system autostart folder>/linewatch.desktop
// Writing the value writes the file (its Exec line runs the value's command
// line), deleting the value removes the file.
//
// The value is a Windows-style command line (the program path in double
// quotes). The Exec line holds the same arguments quoted by the Desktop Entry
// rules; the value itself is kept in X-LineWatchman-Value so that reading
// back gives exactly the text written. If the two disagree (someone edited
// Exec by hand), Exec wins and the value is rebuilt from its arguments.
class XdgAutostart {
  public:
    // Run key path below either root, without the leading backslash.
    static constexpr std::string_view kRunKeyPath = kRunKeyAbsolutePath.substr(1);
    // The program's value under the Run key.
    static constexpr std::string_view kValueName = kRunValueName;
    static constexpr std::string_view kFileName = "linewatch.desktop";

    // Autostart folder of a root: the folder set with SetFolder, else the
    // environment variable LW_USER_AUTOSTART_DIR / LW_SYSTEM_AUTOSTART_DIR, else
    // $XDG_CONFIG_HOME/autostart for the current user and /etc/xdg/autostart
    // for all users.
    static std::string Folder(RegistryRoot root);
    // Overrides the folder of a root for this process (tests); an empty path
    // removes the override.
    static void SetFolder(RegistryRoot root, std::string folder);

    // Whether a key path (below the root) is the Run key, compared as
    // registry names are: without regard to ASCII case.
    static bool IsRunKey(const RegistryKeyPath& key);
    // Whether a value name under the Run key is the mounted one.
    static bool IsMountedValue(std::string_view name);

    explicit XdgAutostart(RegistryRoot root);

    std::string FilePath() const;
    // Whether the file could be written or removed by this process.
    bool CanWrite() const;
    // True and the value if the file exists and is an enabled autostart entry
    // (not Hidden, not disabled with X-GNOME-Autostart-enabled=false).
    bool Read(std::string& value) const;
    // Writes the file atomically. Refuses (false, nothing written) a value that
    // names no program or holds bytes a desktop file cannot carry (NUL and
    // control characters other than tab, line feed and carriage return).
    bool Write(std::string_view value) const;
    // Removes the file; true if there was one.
    bool Remove() const;

    // Command line <-> Exec conversions, exposed for tests.
    static bool SplitCommandLine(std::string_view commandLine, std::vector<std::string>& args);
    static std::string JoinCommandLine(const std::vector<std::string>& args);
    static std::string ExecFromArguments(const std::vector<std::string>& args);
    static bool SplitExec(std::string_view exec, std::vector<std::string>& args);
    static std::string EscapeString(std::string_view text);
    static std::string UnescapeString(std::string_view text);

  private:
    RegistryRoot root_;
};
