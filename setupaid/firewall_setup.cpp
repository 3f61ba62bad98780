#include "setupaid/firewall_setup.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "setupaid/command_runner.h"
#include "setupaid/debug_output.h"
#include "setupaid/nft_ruleset.h"
#include "setupaid/setupaid.h"
#include "setupaid/system_bus.h"
#include "setupaid/system_root.h"
#include "setupaid/text_file.h"

namespace setupaid {
namespace {

constexpr const char* kFirewalld = "org.fedoraproject.FirewallD1";
constexpr const char* kFirewalldPath = "/org/fedoraproject/FirewallD1";
constexpr const char* kFirewalldConfigPath = "/org/fedoraproject/FirewallD1/config";
constexpr const char* kSambaService = "samba";
constexpr std::string_view kUfwConfig = "/etc/ufw/ufw.conf";
constexpr std::string_view kUfwSambaProfile = "/etc/ufw/applications.d/samba";
constexpr std::string_view kNftablesConfig = "/etc/nftables.conf";
constexpr std::string_view kNftablesComment =
    "# Samba (file and printer sharing), added by the Line Watchman installer\n";

int CodeOfBusError(const BusReply& reply) {
    const std::string& name = reply.errorName;
    if (name == "org.freedesktop.DBus.Error.AccessDenied" ||
        name.find("NotAuthorized") != std::string::npos) {
        return SETUPAID_ACCESS_DENIED;
    }
    if (name == "org.freedesktop.DBus.Error.UnknownMethod" ||
        name == "org.freedesktop.DBus.Error.UnknownInterface" ||
        name == "org.freedesktop.DBus.Error.UnknownObject" ||
        reply.errorMessage.find("INVALID_SERVICE") != std::string::npos) {
        return SETUPAID_NOT_AVAILABLE;
    }
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        return SETUPAID_NOTHING_TO_DO;
    }
    return SETUPAID_FAILED;
}

// firewalld answers ALREADY_ENABLED when another client added the service
// between our query and our add; that is success.
bool AddedOrPresent(const BusReply& reply) {
    return reply.ok || reply.errorMessage.find("ALREADY_ENABLED") != std::string::npos;
}

// Samba in the permanent configuration of the default zone.
int AddPermanentService(SystemBus& bus) {
    const BusReply zone = bus.Call(kFirewalld, kFirewalldPath, kFirewalld, "getDefaultZone");
    if (!zone.ok || !zone.text) return zone.ok ? SETUPAID_FAILED : CodeOfBusError(zone);
    const BusReply zonePath =
        bus.Call(kFirewalld, kFirewalldConfigPath, std::string(kFirewalld) + ".config",
                 "getZoneByName", {*zone.text});
    if (!zonePath.ok || !zonePath.text) {
        return zonePath.ok ? SETUPAID_FAILED : CodeOfBusError(zonePath);
    }
    const std::string zoneInterface = std::string(kFirewalld) + ".config.zone";
    const BusReply permanent = bus.Call(kFirewalld, *zonePath.text, zoneInterface, "queryService",
                                        {std::string(kSambaService)});
    if (!permanent.ok) return CodeOfBusError(permanent);
    if (!permanent.flag.value_or(false)) {
        const BusReply added = bus.Call(kFirewalld, *zonePath.text, zoneInterface, "addService",
                                        {std::string(kSambaService)});
        if (!AddedOrPresent(added)) return CodeOfBusError(added);
    }
    return SETUPAID_DONE;
}

// Samba for now (runtime) and for later boots (permanent): both or neither.
// When the permanent configuration refuses it, a runtime service we added is
// taken away again.
int SetupFirewalld(SystemBus& bus) {
    const std::string zoneInterface = std::string(kFirewalld) + ".zone";
    const BusReply runtime = bus.Call(kFirewalld, kFirewalldPath, zoneInterface, "queryService",
                                      {std::string(), std::string(kSambaService)});
    if (!runtime.ok) return CodeOfBusError(runtime);
    bool addedRuntime = false;
    if (!runtime.flag.value_or(false)) {
        const BusReply added = bus.Call(kFirewalld, kFirewalldPath, zoneInterface, "addService",
                                        {std::string(), std::string(kSambaService), int32_t{0}});
        if (!AddedOrPresent(added)) return CodeOfBusError(added);
        addedRuntime = added.ok;
    }
    const int permanent = AddPermanentService(bus);
    if (permanent != SETUPAID_DONE && addedRuntime) {
        const BusReply removed =
            bus.Call(kFirewalld, kFirewalldPath, zoneInterface, "removeService",
                     {std::string(), std::string(kSambaService)});
        DebugOutput(std::string("SetupFirewall: firewalld kept Samba out of its permanent "
                                "configuration; ") +
                    (removed.ok ? "taken out of the runtime one again"
                                : "it stays in the runtime one until the next reload: " +
                                      removed.errorMessage));
    }
    return permanent;
}

bool UfwEnabled() {
    std::string text;
    if (ReadWholeFile(SystemPath(kUfwConfig), text) != FileStatus::kOk) return false;
    bool enabled = false;
    for (std::string_view line : SplitLines(text)) {
        std::string setting(line);
        std::erase_if(setting,
                      [](char c) { return c == ' ' || c == '\t' || c == '"' || c == '\''; });
        if (setting.rfind("ENABLED=", 0) == 0) enabled = setting == "ENABLED=yes";
    }
    return enabled;
}

// ufw keeps what it allows for later boots itself. The rules go in one by
// one: when one fails, those this call added are deleted again.
int SetupUfw() {
    if (geteuid() != 0) return SETUPAID_ACCESS_DENIED;
    std::vector<std::string> allowed;
    if (PathExists(SystemPath(kUfwSambaProfile))) {
        allowed = {"Samba"};
    } else {
        allowed = {"137,138/udp", "139,445/tcp"};
    }
    std::vector<std::string> added;
    for (const std::string& rule : allowed) {
        const CommandResult result = Commands().Run({"ufw", "allow", rule});
        if (!result.Succeeded()) {
            for (const std::string& undo : added) Commands().Run({"ufw", "delete", "allow", undo});
            DebugOutput("SetupFirewall: ufw refused \"allow " + rule + "\": " + result.output);
            return SETUPAID_FAILED;
        }
        // ufw skips a rule it has already, so a second call adds nothing.
        if (result.output.find("Skipping") == std::string::npos) added.push_back(rule);
    }
    return SETUPAID_DONE;
}

std::string JoinWords(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        if (!text.empty()) text += ' ';
        text += word;
    }
    return text;
}

// The words of the rules a chain lacks, as one nft transaction ("a ; b").
void AddMissingLiveRules(const InputChain& chain, std::vector<std::string>& command) {
    for (const SambaRule& rule : kSambaRules) {
        if (std::find(chain.presentTags.begin(), chain.presentTags.end(), rule.tag) !=
            chain.presentTags.end()) {
            continue;
        }
        if (command.size() > 1) command.emplace_back(";");
        for (std::string& word : InsertRuleWords(chain, rule)) command.push_back(std::move(word));
    }
}

// The lines of /etc/nftables.conf that would bring the rules back at boot,
// those it lacks.
std::string MissingBootLines(const std::string& bootText, const std::vector<InputChain>& chains) {
    const std::vector<std::string_view> present = SplitLines(bootText);
    std::string additions;
    for (const InputChain& chain : chains) {
        for (const SambaRule& rule : kSambaRules) {
            const std::string line = JoinWords(InsertRuleWords(chain, rule));
            if (std::find(present.begin(), present.end(), line) == present.end()) {
                additions += line + "\n";
            }
        }
    }
    return additions;
}

// True when nft loads text on a machine that has just booted: from an empty
// ruleset, as the boot loads it. The check changes nothing, live or on disk.
bool LoadsAtBoot(const std::string& bootPath, const std::string& text, std::string& error) {
    PendingFile check;
    if (check.Write(bootPath, "flush ruleset\n" + text, 0600) != FileStatus::kOk) {
        error = "cannot write a file to check beside it";
        return false;
    }
    const CommandResult result = Commands().Run({"nft", "-c", "-f", check.TemporaryPath()});
    error = result.output;
    return result.Succeeded();
}

// The rules go into each running input chain that could drop Samba, and into
// /etc/nftables.conf, which loads the ruleset at boot: both or neither. The
// boot file is checked first and replaced, the live chains then changed in
// one transaction, and the boot file put back when that fails.
int SetupNftables() {
    if (geteuid() != 0) return SETUPAID_ACCESS_DENIED;
    const CommandResult listing = Commands().Run({"nft", "list", "ruleset"});
    if (!listing.Succeeded()) return SETUPAID_FAILED;
    const std::vector<InputChain> chains = InputChains(listing.output);
    if (chains.empty()) return SETUPAID_NOTHING_TO_DO;
    std::vector<InputChain> guarding;
    for (const InputChain& chain : chains) {
        if (chain.mayDrop) guarding.push_back(chain);
    }
    // Nothing stands in Samba's way: already allowed.
    if (guarding.empty()) return SETUPAID_DONE;

    const std::string bootPath = SystemPath(kNftablesConfig);
    std::string bootText;
    const FileStatus read = ReadWholeFile(bootPath, bootText);
    if (read == FileStatus::kMissing) {
        DebugOutput("SetupFirewall: no " + std::string(kNftablesConfig) +
                    " loads the firewall at boot, so rules added now would be lost then; "
                    "nothing changed");
        return SETUPAID_FAILED;
    }
    if (read != FileStatus::kOk) return ResultCodeOf(read);

    std::vector<std::string> live = {"nft"};
    for (const InputChain& chain : guarding) AddMissingLiveRules(chain, live);
    const std::string additions = MissingBootLines(bootText, guarding);
    if (live.size() == 1 && additions.empty()) return SETUPAID_DONE;

    if (!additions.empty()) {
        std::string text = bootText;
        if (!text.empty() && text.back() != '\n') text += '\n';
        text += "\n";
        text += kNftablesComment;
        text += additions;
        std::string error;
        if (!LoadsAtBoot(bootPath, text, error)) {
            DebugOutput("SetupFirewall: with the rules, " + std::string(kNftablesConfig) +
                        " would not load at boot (does it make every input chain that runs "
                        "now?); nothing changed. nft: " +
                        error);
            return SETUPAID_FAILED;
        }
        const FileStatus written = ReplaceFile(bootPath, text, 0755);
        if (written != FileStatus::kOk) return ResultCodeOf(written);
    }
    if (live.size() > 1) {
        const CommandResult added = Commands().Run(live);
        if (!added.Succeeded()) {
            std::string undo;
            if (!additions.empty() && ReplaceFile(bootPath, bootText, 0755) != FileStatus::kOk) {
                undo = "; " + std::string(kNftablesConfig) + " could not be put back";
            }
            DebugOutput("SetupFirewall: the running firewall refused the rules" + undo +
                        ". nft: " + added.output);
            return SETUPAID_FAILED;
        }
    }
    return SETUPAID_DONE;
}

}  // namespace

int SetupSambaFirewall(std::string_view applicationName, std::string_view imagePath) {
    if (applicationName.empty() || imagePath.empty()) return SETUPAID_FAILED;

    SystemBus bus;
    if (bus.Connect() && bus.HasOwner(kFirewalld)) return SetupFirewalld(bus);
    bus.Close();
    if (UfwEnabled() && Commands().Has("ufw")) return SetupUfw();
    if (Commands().Has("nft")) return SetupNftables();
    return SETUPAID_NOTHING_TO_DO;
}

}  // namespace setupaid
