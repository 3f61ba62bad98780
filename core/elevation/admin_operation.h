#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/elevation/elevated_protocol.h"

// The one connection to the elevated helper (linewatch-elevated) for the whole
// run. The first successful GetElevatedInterface starts the helper through
// pkexec, which asks the user for consent; the running helper then serves
// every later elevated write without asking again. A declined or failed start
// leaves nothing cached, so the next request asks again.
//
// Callers running as root need no helper: they open the machine-wide store
// writable themselves. Asked anyway, this class still works (pkexec does not
// prompt root).
class KtAdminOperation {
  public:
    virtual ~KtAdminOperation();
    KtAdminOperation(const KtAdminOperation&) = delete;
    KtAdminOperation& operator=(const KtAdminOperation&) = delete;

    // The cached interface; starts the helper if there is none (blocking while
    // the consent prompt is shown). Null when the user declines or the helper
    // cannot be started or does not answer its greeting. The pointer stays valid
    // until the instance is released (or the process ends).
    static KtElevatedInterface* GetElevatedInterface();
    static bool IsElevationAvailable();

    // Convenience forms: E_FAIL when no interface can be obtained, else the
    // helper's result.
    static int32_t WriteString(std::string_view keyPath, std::string_view name,
                               std::string_view value);
    static int32_t WriteInt(std::string_view keyPath, std::string_view name, int32_t value);
    static int32_t DeleteValue(std::string_view keyPath, std::string_view name);
    static int32_t WritePeersEntry(std::string_view entryName, std::string_view interface,
                                   std::string_view acName, PeersReplace replace);

    // The one object whose destruction releases the helper; created on first use.
    static KtAdminOperation& Instance();
    // Destroys the instance if there is one: closes the helper's input, waits
    // for it to end and empties the cache. Also happens at process exit.
    static void ReleaseInstance();

    // The installed helper's path, fixed at build time; the polkit policy names
    // the same path.
    static std::string HelperPath();
    // The installed program's path, fixed at build time like the helper's.
    static std::string ProgramPath();
    // The Run value that starts the installed program at log-in: its path in
    // double quotes, no arguments. The only Run value the helper accepts.
    static std::string ProgramRunCommand();

    // The command that starts the helper. Default: pkexec <HelperPath()> --serve.
    // The environment variable LW_ELEVATE_COMMAND names a program that replaces
    // pkexec (it gets the same two arguments); SetLaunchCommand replaces the
    // whole argument vector and wins over the variable. An empty vector
    // restores the default.
    static void SetLaunchCommand(std::vector<std::string> command);
    static std::vector<std::string> LaunchCommand();

  private:
    KtAdminOperation() = default;
};
