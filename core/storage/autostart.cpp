#include "core/storage/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "core/ascii_text.h"
#include "core/debug_output.h"
#include "core/file_system.h"

namespace {

std::mutex gOverrideMutex;
std::string gOverride[2];

// A desktop file is a few hundred bytes; anything far larger is not ours.
constexpr std::streamsize kMaxDesktopFileBytes = 64 * 1024;

// Characters that oblige an Exec argument to be quoted.
constexpr std::string_view kExecReserved = " \t\n\r\"'\\><~|&;$*?#()`";
// Characters escaped with a backslash inside a quoted Exec argument.
constexpr std::string_view kExecQuotedEscapes = "\"`$\\";

size_t RootIndex(RegistryRoot root) {
    return root == RegistryRoot::CurrentUser ? 0 : 1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r')) text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Field codes expand to nothing for an autostart entry (no files are given);
// "%%" is a literal percent sign.
bool RemoveFieldCodes(std::string& arg) {
    std::string out;
    bool hadCode = false;
    for (size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] == '%' && i + 1 < arg.size()) {
            if (arg[i + 1] != '%') hadCode = true;
            if (arg[i + 1] == '%') out += '%';
            ++i;
        } else {
            out += arg[i];
        }
    }
    arg = std::move(out);
    return hadCode;
}

struct DesktopEntry {
    bool hasGroup = false;
    bool hasExec = false;
    bool hasValue = false;
    std::string exec;
    std::string value;
    bool hidden = false;
    bool disabled = false;
};

DesktopEntry ParseDesktopEntry(const std::string& text) {
    DesktopEntry entry;
    std::istringstream lines(text);
    std::string line;
    bool inEntry = false;
    while (std::getline(lines, line)) {
        const std::string_view trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == '#') continue;
        if (trimmed.front() == '[') {
            inEntry = trimmed == "[Desktop Entry]";
            entry.hasGroup = entry.hasGroup || inEntry;
            continue;
        }
        if (!inEntry) continue;
        const size_t equals = trimmed.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = Trim(trimmed.substr(0, equals));
        std::string_view value = trimmed.substr(equals + 1);
        while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
        if (key == "Exec") {
            entry.hasExec = true;
            entry.exec = XdgAutostart::UnescapeString(value);
        } else if (key == "X-LineWatchman-Value") {
            entry.hasValue = true;
            entry.value = XdgAutostart::UnescapeString(value);
        } else if (key == "Hidden") {
            entry.hidden = value == "true";
        } else if (key == "X-GNOME-Autostart-enabled") {
            entry.disabled = value == "false";
        }
    }
    return entry;
}

}  // namespace

std::string XdgAutostart::Folder(RegistryRoot root) {
    {
        std::scoped_lock lock(gOverrideMutex);
        const std::string& folder = gOverride[RootIndex(root)];
        if (!folder.empty()) return folder;
    }
    const char* env = std::getenv(root == RegistryRoot::CurrentUser ? "LW_USER_AUTOSTART_DIR"
                                                                    : "LW_SYSTEM_AUTOSTART_DIR");
    if (env != nullptr && env[0] != '\0') return env;
    if (root == RegistryRoot::CurrentUser) return XdgConfigHome() + "/autostart";
    return "/etc/xdg/autostart";
}

void XdgAutostart::SetFolder(RegistryRoot root, std::string folder) {
    std::scoped_lock lock(gOverrideMutex);
    gOverride[RootIndex(root)] = std::move(folder);
}

bool XdgAutostart::IsRunKey(const RegistryKeyPath& key) {
    static constexpr std::array<std::string_view, 5> kParts = {"Software", "Microsoft", "Windows",
                                                               "CurrentVersion", "Run"};
    if (key.size() != kParts.size()) return false;
    for (size_t i = 0; i < kParts.size(); ++i) {
        if (!EqualsIgnoringAsciiCase(key[i], kParts[i])) return false;
    }
    return true;
}

bool XdgAutostart::IsMountedValue(std::string_view name) {
    return EqualsIgnoringAsciiCase(name, kValueName);
}

XdgAutostart::XdgAutostart(RegistryRoot root) : root_(root) {}

std::string XdgAutostart::FilePath() const {
    return Folder(root_) + "/" + std::string(kFileName);
}

bool XdgAutostart::CanWrite() const {
    return CanCreateOrReplaceFile(FilePath());
}

bool XdgAutostart::Read(std::string& value) const {
    const std::string path = FilePath();
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::string text(static_cast<size_t>(kMaxDesktopFileBytes) + 1, '\0');
    file.read(text.data(), kMaxDesktopFileBytes + 1);
    text.resize(static_cast<size_t>(file.gcount()));
    if (text.size() > static_cast<size_t>(kMaxDesktopFileBytes)) {
        DebugOutput("Autostart file " + path + " is too large to be an autostart entry.\n");
        return false;
    }
    const DesktopEntry entry = ParseDesktopEntry(text);
    if (!entry.hasGroup || !entry.hasExec || entry.hidden || entry.disabled) return false;
    std::vector<std::string> execArgs;
    if (!SplitExec(entry.exec, execArgs)) {
        DebugOutput("Autostart file " + path + " has an Exec line that cannot be read.\n");
        return false;
    }
    std::vector<std::string> valueArgs;
    if (entry.hasValue && SplitCommandLine(entry.value, valueArgs) && valueArgs == execArgs) {
        value = entry.value;
    } else {
        value = JoinCommandLine(execArgs);
    }
    return true;
}

bool XdgAutostart::Write(std::string_view value) const {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7f) {
            DebugOutput(
                "Autostart entry not written: the command line holds a control character.\n");
            return false;
        }
    }
    std::vector<std::string> args;
    if (!SplitCommandLine(value, args) || args.front().empty()) {
        DebugOutput("Autostart entry not written: the command line names no program.\n");
        return false;
    }
    std::string content =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Version=1.0\n"
        "Name=Line Watchman\n"
        "Comment=Watches PPPoE access concentrators\n"
        "Icon=linewatch\n"
        "Terminal=false\n";
    content += "Exec=" + EscapeString(ExecFromArguments(args)) + "\n";
    content += "X-GNOME-Autostart-enabled=true\n";
    content += "X-LineWatchman-Value=" + EscapeString(value) + "\n";

    const std::string folder = Folder(root_);
    const unsigned folderMode = root_ == RegistryRoot::CurrentUser ? 0700 : 0755;
    if (!MakeDirectories(folder, folderMode)) {
        DebugOutput("Autostart folder " + folder + " cannot be created.\n");
        return false;
    }
    return ReplaceFileAtomically(FilePath(), content, 0644);
}

bool XdgAutostart::Remove() const {
    const std::string path = FilePath();
    if (unlink(path.c_str()) != 0) {
        if (errno != ENOENT) DebugOutput("Autostart file " + path + " cannot be removed.\n");
        return false;
    }
    SyncFolderOf(path);
    return true;
}

bool XdgAutostart::SplitCommandLine(std::string_view line, std::vector<std::string>& args) {
    args.clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n && IsBlank(line[i])) ++i;
    if (i == n) return false;
    // The program name takes no escapes: quotes only group, as the Windows
    // command line parser treats the first argument.
    std::string program;
    bool quoted = false;
    for (; i < n; ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && IsBlank(c)) {
            break;
        } else {
            program += c;
        }
    }
    args.push_back(std::move(program));
    for (;;) {
        while (i < n && IsBlank(line[i])) ++i;
        if (i >= n) break;
        std::string arg;
        bool inQuotes = false;
        while (i < n) {
            const char c = line[i];
            if (!inQuotes && IsBlank(c)) break;
            if (c == '\\') {
                size_t j = i;
                while (j < n && line[j] == '\\') ++j;
                const size_t count = j - i;
                if (j < n && line[j] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        arg += '"';
                        i = j + 1;
                    } else {
                        i = j;
                    }
                } else {
                    arg.append(count, '\\');
                    i = j;
                }
            } else if (c == '"') {
                if (inQuotes && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    inQuotes = !inQuotes;
                    ++i;
                }
            } else {
                arg += c;
                ++i;
            }
        }
        args.push_back(std::move(arg));
    }
    return true;
}

std::string XdgAutostart::JoinCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (size_t index = 0; index < args.size(); ++index) {
        const std::string& arg = args[index];
        if (index > 0) line += ' ';
        const bool needsQuotes = arg.empty() || arg.find_first_of(" \t\"") != std::string::npos;
        if (!needsQuotes) {
            line += arg;
            continue;
        }
        line += '"';
        if (index == 0) {
            line += arg;  // the program name cannot carry a quote; it never holds one
        } else {
            size_t backslashes = 0;
            for (const char c : arg) {
                if (c == '\\') {
                    ++backslashes;
                    continue;
                }
                if (c == '"') {
                    line.append(backslashes * 2 + 1, '\\');
                } else {
                    line.append(backslashes, '\\');
                }
                backslashes = 0;
                line += c;
            }
            line.append(backslashes * 2, '\\');
        }
        line += '"';
    }
    return line;
}

std::string XdgAutostart::ExecFromArguments(const std::vector<std::string>& args) {
    std::string exec;
    for (size_t index = 0; index < args.size(); ++index) {
        const std::string& arg = args[index];
        if (index > 0) exec += ' ';
        const bool needsQuotes =
            arg.empty() || arg.find_first_of(kExecReserved) != std::string::npos;
        if (needsQuotes) exec += '"';
        for (const char c : arg) {
            if (needsQuotes && kExecQuotedEscapes.find(c) != std::string_view::npos) exec += '\\';
            if (c == '%') exec += '%';
            exec += c;
        }
        if (needsQuotes) exec += '"';
    }
    return exec;
}

bool XdgAutostart::SplitExec(std::string_view exec, std::vector<std::string>& args) {
    args.clear();
    size_t i = 0;
    const size_t n = exec.size();
    for (;;) {
        while (i < n && (IsBlank(exec[i]) || exec[i] == '\n')) ++i;
        if (i >= n) break;
        std::string arg;
        while (i < n && !IsBlank(exec[i]) && exec[i] != '\n') {
            if (exec[i] == '"') {
                ++i;
                while (i < n && exec[i] != '"') {
                    if (exec[i] == '\\' && i + 1 < n &&
                        kExecQuotedEscapes.find(exec[i + 1]) != std::string_view::npos) {
                        ++i;
                    }
                    arg += exec[i++];
                }
                if (i >= n) return false;  // unterminated quote
                ++i;
            } else {
                arg += exec[i++];
            }
        }
        const bool wasFieldCode = RemoveFieldCodes(arg);
        if (!(wasFieldCode && arg.empty())) args.push_back(std::move(arg));
    }
    return !args.empty() && !args.front().empty();
}

std::string XdgAutostart::EscapeString(std::string_view text) {
    std::string out;
    // Readers trim blanks around values, so blanks at either end are escaped.
    size_t lead = 0;
    while (lead < text.size() && text[lead] == ' ') ++lead;
    size_t trail = text.size();
    while (trail > lead && text[trail - 1] == ' ') --trail;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case ' ':
                out += (i < lead || i >= trail) ? "\\s" : " ";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string XdgAutostart::UnescapeString(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        switch (text[i + 1]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                out += text[i];
                out += text[i + 1];
        }
        ++i;
    }
    return out;
}
