#include "cmd/connection_commands.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "connections/phonebook.h"
#include "core/elevation/elevated_protocol.h"
#include "engine/adapters.h"

const char* const kConnectionCommandsUsage =
    "\n"
    "Dial entries (pppd peers files) aimed at one access concentrator:\n"
    "      --create-connection NAME --ac AC-NAME [-i IFACE] [--peers-dir DIR] [--replace]\n"
    "                          write the entry NAME aimed at AC-NAME on the adapter\n"
    "                          IFACE (default: the adapter being monitored), then exit;\n"
    "                          as root directly, else through the administrator helper\n"
    "                          (system folder only); an existing NAME only with --replace\n"
    "      --list-connections AC-NAME [--peers-dir DIR]\n"
    "                          print the names of the entries aimed at AC-NAME, one a line\n"
    "      --peers-dir DIR     the peers folder (default /etc/ppp/peers)\n";

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct ConnectionOptions {
    std::optional<std::string> create;
    std::optional<std::string> list;
    std::optional<std::string> acName;
    std::optional<std::string> interface;
    std::optional<std::string> peersDir;
    bool replace = false;
};

int UsageError(const std::string& why) {
    std::fprintf(stderr, "linewatch-cli: %s\nTry 'linewatch-cli --help'.\n", why.c_str());
    return kExitUsage;
}

// The adapter the entry runs on when -i is not given: the monitored adapter
// when it is present, else the first Ethernet adapter, else none.
std::string ChooseInterface(const std::string& preferred) {
    const std::vector<AdapterEntry> adapters = ListEthernetAdapters();
    const bool present = std::any_of(adapters.begin(), adapters.end(), [&](const AdapterEntry& a) {
        return a.deviceName == preferred;
    });
    if (present) {
        return preferred;
    }
    return adapters.empty() ? std::string() : adapters.front().deviceName;
}

}  // namespace

std::optional<int> RunConnectionCommand(int argc, char** argv,
                                        const std::string& defaultInterface) {
    bool asked = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        asked = asked || arg == "--create-connection" || arg == "--list-connections";
    }
    if (!asked) {
        return std::nullopt;
    }
    ConnectionOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::optional<std::string>* target = nullptr;
        if (arg == "--replace") {
            options.replace = true;
            continue;
        }
        if (arg == "--create-connection") {
            target = &options.create;
        } else if (arg == "--list-connections") {
            target = &options.list;
        } else if (arg == "--ac") {
            target = &options.acName;
        } else if (arg == "-i" || arg == "--interface") {
            target = &options.interface;
        } else if (arg == "--peers-dir") {
            target = &options.peersDir;
        } else {
            return UsageError("'" + std::string(arg) +
                              "' does not go with --create-connection or --list-connections");
        }
        if (i + 1 >= argc) {
            return UsageError(std::string(arg) + " needs a value");
        }
        if (target->has_value()) {
            return UsageError(std::string(arg) + " is given twice");
        }
        *target = argv[++i];
    }
    if (options.create.has_value() == options.list.has_value()) {
        return UsageError("give either --create-connection or --list-connections");
    }
    if (options.peersDir) {
        if (options.peersDir->empty()) {
            return UsageError("--peers-dir needs a folder");
        }
        SetPeersFolder(*options.peersDir);
    }

    if (options.list) {
        if (options.acName || options.interface || options.replace) {
            return UsageError(
                "--list-connections takes the AC-Name itself, and no adapter or --replace");
        }
        std::vector<KtRasConnection> entries;
        if (FindConnections(kPppoeDeviceType, *options.list, entries) ==
            PhonebookStatus::FolderUnreadable) {
            std::fprintf(stderr, "linewatch-cli: %s\n", UnreadableFolderAdvice().c_str());
            return kExitFailure;
        }
        for (const KtRasConnection& entry : entries) {
            std::printf("%s\n", entry.Name().c_str());
        }
        return kExitOk;
    }

    if (!options.acName) {
        return UsageError("--create-connection needs --ac AC-NAME");
    }
    if (!IsValidEntryName(*options.create)) {
        return UsageError(
            "the entry name must not be empty, start with a dot or '-', hold any of "
            "/ \\ : * ? \" < > |, control, invisible or direction-changing characters, be "
            "other than UTF-8, or be longer than 255 bytes");
    }
    if (options.acName->empty() || options.acName->size() > kMaxAcNameBytes) {
        return UsageError("the AC-Name must be 1 to 255 bytes");
    }
    const std::string interface =
        options.interface ? *options.interface : ChooseInterface(defaultInterface);
    if (interface.empty()) {
        std::fputs("linewatch-cli: no Ethernet adapter for the entry; name one with -i\n", stderr);
        return kExitFailure;
    }
    if (!IsValidInterfaceName(interface)) {
        return UsageError("'" + interface + "' is no adapter name");
    }
    const int32_t result =
        CreateConnection(*options.acName, *options.create, interface,
                         options.replace ? PeersReplace::Agreed : PeersReplace::None);
    if (result == E_ALREADY_EXISTS) {
        std::fprintf(stderr,
                     "linewatch-cli: the entry '%s' already exists in %s; it is left as it is "
                     "(give --replace to overwrite it)\n",
                     options.create->c_str(), PeersFolder().c_str());
        return kExitFailure;
    }
    if (!Succeeded(result)) {
        std::fprintf(stderr, "linewatch-cli: %s\n", DescribeCreateFailure(result).c_str());
        return kExitFailure;
    }
    return kExitOk;
}
