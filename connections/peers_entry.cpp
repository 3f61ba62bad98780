#include "connections/peers_entry.h"

#include <filesystem>
#include <vector>

#include "connections/pppd_words.h"

namespace {

bool IsControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view BaseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsPppoePlugin(std::string_view path) {
    const std::string_view name = BaseName(path);
    return EqualsIgnoringCase(name, "rp-pppoe.so") || EqualsIgnoringCase(name, "pppoe.so");
}

// The fixed options of every entry, one a line. nopersist keeps redialling
// off even where the system's options file turns it on.
constexpr std::string_view kFixedOptions[] = {
    "noauth",     "usepeerdns", "noipdefault",   "hide-password",    "defaultroute",
    "refuse-pap", "refuse-eap", "refuse-mschap", "refuse-mschap-v2", "nopersist",
};

// Options common in peers files that take one value, so that their value is
// never taken for an option ("user pppoe-ac" names a user).
bool TakesValue(std::string_view option) {
    static constexpr std::string_view kOptions[] = {
        "user",
        "name",
        "remotename",
        "password",
        "connect",
        "disconnect",
        "init",
        "welcome",
        "file",
        "call",
        "ipparam",
        "linkname",
        "mtu",
        "mru",
        "idle",
        "maxfail",
        "holdoff",
        "logfile",
        "unit",
        "ifname",
        "ms-dns",
        "pty",
        "lcp-echo-interval",
        "lcp-echo-failure",
        "passwordfd",
        "remotenumber",
    };
    for (std::string_view known : kOptions) {
        if (option == known) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsValidEntryName(std::string_view name) {
    if (name.empty() || name.size() > kMaxEntryNameBytes || name == "." || name == ".." ||
        name.front() == '.') {
        return false;
    }
    for (char c : name) {
        if (IsControl(static_cast<unsigned char>(c)) ||
            std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool IsValidInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > 15) {
        return false;
    }
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F ||
            std::string_view("\"'\\/#").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> BuildPeersEntry(const PeersEntryFields& fields,
                                           std::string_view pluginName) {
    if (fields.acName.empty() || fields.acName.size() > kMaxAcNameBytes ||
        !IsValidInterfaceName(fields.interface)) {
        return std::nullopt;
    }
    std::optional<std::string> plugin = PppdWords::QuoteWord(pluginName);
    std::optional<std::string> device = PppdWords::QuoteWord("nic-" + fields.interface);
    std::optional<std::string> target = PppdWords::QuoteWord(fields.acName);
    if (!plugin || !device || !target || pluginName.empty()) {
        return std::nullopt;
    }
    std::string text =
        "# PPPoE connection aimed at one access concentrator, written by Line Watchman.\n";
    text += "plugin " + *plugin + "\n";
    text += *device + "\n";
    text += "pppoe-ac " + *target + "\n";
    for (std::string_view option : kFixedOptions) {
        text += option;
        text += '\n';
    }
    return text;
}

std::string InstalledPppoePlugin(const std::string& pluginRoot) {
    namespace fs = std::filesystem;
    std::error_code error;
    bool newName = false;
    for (fs::directory_iterator it(pluginRoot, error), end; !error && it != end;
         it.increment(error)) {
        if (fs::exists(it->path() / "rp-pppoe.so", error)) {
            return "rp-pppoe.so";
        }
        newName = newName || fs::exists(it->path() / "pppoe.so", error);
    }
    return newName ? "pppoe.so" : "rp-pppoe.so";
}

PeersEntryTarget ReadPeersEntry(std::string_view text) {
    PeersEntryTarget target;
    const std::vector<PppdWords::Word> words = PppdWords::ReadWords(text);
    bool pppoe = false;
    std::string otherPlugin;
    for (size_t i = 0; i + 1 < words.size(); ++i) {
        const std::string& option = words[i].text;
        const std::string& value = words[i + 1].text;
        if (option == "plugin") {
            if (IsPppoePlugin(value)) {
                pppoe = true;
            } else if (otherPlugin.empty() && BaseName(value) != "passwordfd.so") {
                otherPlugin = std::string(BaseName(value));
            }
        } else if (option == "pppoe-ac" || option == "rp_pppoe_ac") {
            target.acName = value;
        } else if (option == "pppoe-service" || option == "rp_pppoe_service") {
            target.serviceName = value;
        } else if (!TakesValue(option)) {
            continue;
        }
        ++i;  // the value is not an option of its own
    }
    if (pppoe) {
        target.deviceType = kPppoeDeviceType;
    } else if (!otherPlugin.empty()) {
        target.deviceType = otherPlugin;
    }
    return target;
}

bool IsAimedAt(const PeersEntryTarget& target, std::string_view deviceType,
               std::string_view acName) {
    return target.acName == acName && target.serviceName.empty() &&
           EqualsIgnoringCase(target.deviceType, deviceType);
}
