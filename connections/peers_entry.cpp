#include "connections/peers_entry.h"

#include <filesystem>
#include <vector>

#include "connections/pppd_words.h"

namespace {

// One code point of UTF-8 at text[pos]; pos moves past it. Nothing (and pos
// past one byte) for a byte that starts no valid, shortest-form sequence or
// for a surrogate.
std::optional<char32_t> DecodeUtf8(std::string_view text, size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    size_t extra = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        value = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        value = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        value = lead & 0x07u;
        least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - pos < extra) {
        return std::nullopt;
    }
    for (size_t i = 0; i < extra; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0u) != 0x80u) {
            return std::nullopt;
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    pos += extra;
    return value;
}

// Code points a name must not hold: controls (C0, DEL, C1), line and
// paragraph separators, the format characters (bidi embeddings, overrides,
// isolates and marks, zero-width spaces and joiners, the word joiner and
// invisible operators, the byte order mark, soft hyphen, interlinear
// annotation, shorthand and musical format controls, tags) and the other
// default-ignorable code points (variation selectors, fillers).
bool IsHiddenOrControl(char32_t c) {
    struct Range {
        char32_t first;
        char32_t last;
    };
    static constexpr Range kRanges[] = {
        {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x034F, 0x034F},
        {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
        {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x115F, 0x1160},   {0x17B4, 0x17B5},
        {0x180B, 0x180F},   {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x206F},
        {0x3164, 0x3164},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
        {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
        {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
    };
    for (const Range& range : kRanges) {
        if (c >= range.first && c <= range.last) {
            return true;
        }
    }
    return false;
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
    if (name.empty() || name.size() > kMaxEntryNameBytes || name.front() == '.' ||
        name.front() == '-') {
        return false;
    }
    for (size_t pos = 0; pos < name.size();) {
        const std::optional<char32_t> c = DecodeUtf8(name, pos);
        if (!c || IsHiddenOrControl(*c) ||
            (*c < 0x80 && std::string_view("/\\:*?\"<>|").find(static_cast<char>(*c)) !=
                              std::string_view::npos)) {
            return false;
        }
    }
    return true;
}

std::string EntryNameSuggestionBase(std::string_view acName) {
    std::string base;
    for (size_t pos = 0; pos < acName.size();) {
        const size_t start = pos;
        const std::optional<char32_t> c = DecodeUtf8(acName, pos);
        if (c && !IsHiddenOrControl(*c) && !(base.empty() && *c == '-')) {
            base.append(acName.substr(start, pos - start));
        }
    }
    return base;
}

bool IsWrittenByLineWatchman(std::string_view text) {
    return text.substr(0, kPeersEntryHeader.size()) == kPeersEntryHeader;
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
    // The password plugin first: it is loaded even where the PPPoE plugin
    // then stops pppd (a kernel without PPPoE), so the log shows it took.
    std::string text(kPeersEntryHeader);
    text += "plugin " + std::string(kPasswordPlugin) + "\n";
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
            } else if (BaseName(value) == kPasswordPlugin) {
                target.loadsPasswordPlugin = true;
            } else if (otherPlugin.empty()) {
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
