#include "setupaid/netbios_setup.h"

#include <unistd.h>

#include <string_view>
#include <vector>

#include "setupaid/command_runner.h"
#include "setupaid/samba_config.h"
#include "setupaid/setupaid.h"
#include "setupaid/system_root.h"
#include "setupaid/text_file.h"

namespace setupaid {
namespace {

constexpr std::string_view kSambaConfig = "/etc/samba/smb.conf";
constexpr const char* kNmbdUnit = "nmbd.service";
constexpr std::string_view kUnitFolders[] = {"/etc/systemd/system", "/lib/systemd/system",
                                             "/usr/lib/systemd/system"};

// Kernel interface names may hold almost any byte; Samba's list syntax takes
// only plain names.
bool IsPlainInterfaceName(const std::string& name) {
    if (name.empty() || name.size() > 15) return false;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

bool HasNmbdUnit() {
    for (std::string_view folder : kUnitFolders) {
        if (PathExists(SystemPath(std::string(folder) + "/" + kNmbdUnit))) return true;
    }
    return false;
}

bool TestparmAccepts(const std::string& path) {
    return Commands().Run({"testparm", "-s", path}).Succeeded();
}

int ApplyToFile(const std::string& configPath, const std::string& text,
                const std::string& interfaceName) {
    SambaConfig config(text);
    const auto changes =
        NetbiosChanges([&](std::string_view name) { return config.Global(name); }, interfaceName);
    if (changes.empty()) return SETUPAID_DONE;
    for (const SambaChange& change : changes) config.SetGlobal(change.name, change.value);

    PendingFile pending;
    FileStatus status = pending.Write(configPath, config.Text(), 0644);
    if (status != FileStatus::kOk) return ResultCodeOf(status);
    if (!TestparmAccepts(pending.TemporaryPath())) return SETUPAID_FAILED;
    return ResultCodeOf(pending.Commit());
}

// Samba keeps its configuration in its registry: the same changes through
// "net conf", then the whole configuration checked.
int ApplyToRegistry(const std::string& configPath, const std::string& interfaceName) {
    const std::string configFile = "--configfile=" + configPath;
    const auto current = [&](std::string_view name) -> std::optional<std::string> {
        const CommandResult result =
            Commands().Run({"net", configFile, "conf", "getparm", "global", std::string(name)});
        if (!result.Succeeded()) return std::nullopt;
        std::string value = result.output;
        while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
        return value;
    };
    for (const SambaChange& change : NetbiosChanges(current, interfaceName)) {
        if (!Commands()
                 .Run({"net", configFile, "conf", "setparm", "global", change.name, change.value})
                 .Succeeded()) {
            return SETUPAID_FAILED;
        }
    }
    return TestparmAccepts(configPath) ? SETUPAID_DONE : SETUPAID_FAILED;
}

// nmbd answers NetBIOS name queries: enabled for every boot and, where systemd
// runs this very system, restarted to read the new settings.
int StartNameService() {
    const std::string root = SystemRoot();
    if (root.empty() && PathExists("/run/systemd/system")) {
        if (!Commands().Run({"systemctl", "enable", kNmbdUnit}).Succeeded()) {
            return SETUPAID_FAILED;
        }
        return Commands().Run({"systemctl", "restart", kNmbdUnit}).Succeeded() ? SETUPAID_DONE
                                                                               : SETUPAID_FAILED;
    }
    const std::string rootOption = "--root=" + (root.empty() ? std::string("/") : root);
    return Commands().Run({"systemctl", rootOption, "enable", kNmbdUnit}).Succeeded()
               ? SETUPAID_DONE
               : SETUPAID_FAILED;
}

}  // namespace

int EnableNetbios(const std::string& interfaceName) {
    if (!IsPlainInterfaceName(interfaceName)) return SETUPAID_FAILED;
    const std::string configPath = SystemPath(kSambaConfig);
    if (!PathExists(configPath) || !Commands().Has("testparm") || !HasNmbdUnit()) {
        return SETUPAID_NOT_AVAILABLE;
    }
    if (geteuid() != 0) return SETUPAID_ACCESS_DENIED;

    std::string text;
    const FileStatus read = ReadWholeFile(configPath, text);
    if (read != FileStatus::kOk) return ResultCodeOf(read);

    const auto backend = SambaConfig(text).Global("config backend");
    const bool inRegistry = backend && SambaConfig::NormalName(*backend) == "registry";
    if (inRegistry && !Commands().Has("net")) return SETUPAID_NOT_AVAILABLE;
    const int applied = inRegistry ? ApplyToRegistry(configPath, interfaceName)
                                   : ApplyToFile(configPath, text, interfaceName);
    if (applied != SETUPAID_DONE) return applied;
    return StartNameService();
}

}  // namespace setupaid
