#include "setupaid/search_path.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "setupaid/debug_output.h"
#include "setupaid/setupaid.h"
#include "setupaid/system_root.h"
#include "setupaid/text_file.h"

namespace setupaid {
namespace {

constexpr std::string_view kProfileHeader =
    "# Folders the Line Watchman installer added to the search path.\n";
constexpr std::string_view kEnvironmentHeader =
    "# Folders the Line Watchman installer added to the search path of desktop sessions.\n";

// One line of the profile script per folder; the case keeps a nested login
// shell from adding the folder twice. The folder is quoted so that blanks
// stay part of it and glob characters match only themselves.
constexpr std::string_view kProfileLineStart = "case \":${PATH}:\" in *:\"";
constexpr std::string_view kProfileLineMiddle = "\":*) ;; *) PATH=\"";
constexpr std::string_view kProfileLineEnd = ":${PATH}\"; export PATH ;; esac";
constexpr std::string_view kEnvironmentLineStart = "PATH=\"";
constexpr std::string_view kEnvironmentLineEnd = ":${PATH}\"";

bool IsAcceptableFolder(std::string_view folder) {
    if (folder.empty() || folder.front() != '/') return false;
    for (char c : folder) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
        if (c == ':' || c == '"' || c == '\'' || c == '$' || c == '`' || c == '\\') return false;
    }
    return true;
}

bool WritableByOthers(const struct stat& info) {
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// True when only root can change what a shell finds in folder, which every
// login shell, root's included, will search first. Each existing part of the
// path must be root's own. The folder itself must be writable by no one else,
// and so must the folder its first missing part would be made in (whoever
// can write there could make it first). A folder above an existing part may
// be writable by others only with the sticky bit, which keeps them from
// replacing root's entry.
bool OnlyRootCanChange(const std::string& folder) {
    std::string prefix;
    struct stat above {};
    bool haveAbove = false;
    const auto refuse = [&](const std::string& why) {
        DebugOutput("AddPathVar: " + folder + " refused: " + why);
        return false;
    };
    size_t start = 1;
    while (start <= folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        const std::string part = folder.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return refuse("the path holds \"..\"");
        prefix += "/" + part;

        struct stat info {};
        if (stat(SystemPath(prefix).c_str(), &info) != 0) {
            if (errno != ENOENT) return refuse(prefix + " cannot be examined");
            if (haveAbove && WritableByOthers(above)) {
                return refuse("users other than root can write to the folder above " + prefix +
                              " and make it");
            }
            return true;
        }
        if (!S_ISDIR(info.st_mode)) return refuse(prefix + " is not a folder");
        if (info.st_uid != 0) return refuse(prefix + " is not owned by root");
        if (haveAbove && WritableByOthers(above) && (above.st_mode & S_ISVTX) == 0) {
            return refuse("users other than root can replace " + prefix);
        }
        above = info;
        haveAbove = true;
    }
    if (haveAbove && WritableByOthers(above)) {
        return refuse("users other than root can write to it");
    }
    return true;
}

// "/opt/lw/bin/" and "/opt/lw/bin" are the same entry.
std::string NormalFolder(std::string_view folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
    return std::string(folder);
}

void AddEntries(std::string_view path, std::vector<std::string>& entries) {
    while (!path.empty()) {
        const size_t end = path.find(':');
        const std::string_view entry = path.substr(0, end);
        if (!entry.empty()) entries.push_back(NormalFolder(entry));
        if (end == std::string_view::npos) break;
        path.remove_prefix(end + 1);
    }
}

std::string_view Unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Entries of the path every session starts with: ENV_SUPATH and ENV_PATH of
// /etc/login.defs, PATH of /etc/environment.
std::vector<std::string> DefaultPathEntries() {
    std::vector<std::string> entries;
    std::string text;
    if (ReadWholeFile(SystemPath("/etc/login.defs"), text) == FileStatus::kOk) {
        for (std::string_view line : SplitLines(text)) {
            for (std::string_view key : {"ENV_SUPATH", "ENV_PATH"}) {
                if (line.substr(0, key.size()) != key) continue;
                std::string_view value = line.substr(key.size());
                const size_t assignment = value.find("PATH=");
                if (assignment != std::string_view::npos)
                    AddEntries(value.substr(assignment + 5), entries);
            }
        }
    }
    if (ReadWholeFile(SystemPath("/etc/environment"), text) == FileStatus::kOk) {
        for (std::string_view line : SplitLines(text)) {
            if (line.substr(0, 5) == "PATH=") AddEntries(Unquoted(line.substr(5)), entries);
        }
    }
    return entries;
}

bool Contains(const std::vector<std::string>& entries, const std::string& folder) {
    return std::find(entries.begin(), entries.end(), folder) != entries.end();
}

// Adds line to the file unless folders (read from it) already hold folder.
int AddLine(std::string_view filePath, std::string_view header,
            std::vector<std::string> (*foldersOf)(std::string_view), const std::string& folder,
            const std::string& line) {
    const std::string path = SystemPath(filePath);
    std::string text;
    const FileStatus read = ReadWholeFile(path, text);
    if (read != FileStatus::kOk && read != FileStatus::kMissing) return ResultCodeOf(read);
    if (Contains(foldersOf(text), folder)) return SETUPAID_DONE;

    if (text.empty()) text = header;
    if (text.back() != '\n') text += '\n';
    text += line + "\n";
    const FileStatus folderStatus = MakeFolders(path.substr(0, path.rfind('/')), 0755);
    if (folderStatus != FileStatus::kOk) return ResultCodeOf(folderStatus);
    return ResultCodeOf(ReplaceFile(path, text, 0644));
}

// The text between start and end when line is exactly start + text + end.
std::optional<std::string_view> Between(std::string_view line, std::string_view start,
                                        std::string_view end) {
    if (line.size() < start.size() + end.size() || line.substr(0, start.size()) != start ||
        line.substr(line.size() - end.size()) != end) {
        return std::nullopt;
    }
    return line.substr(start.size(), line.size() - start.size() - end.size());
}

}  // namespace

std::vector<std::string> ProfileScriptFolders(std::string_view script) {
    std::vector<std::string> folders;
    for (std::string_view line : SplitLines(script)) {
        const auto inner = Between(line, kProfileLineStart, kProfileLineEnd);
        if (!inner) continue;
        const size_t middle = inner->find(kProfileLineMiddle);
        if (middle != std::string_view::npos)
            folders.push_back(NormalFolder(inner->substr(0, middle)));
    }
    return folders;
}

std::vector<std::string> EnvironmentFileFolders(std::string_view file) {
    std::vector<std::string> folders;
    for (std::string_view line : SplitLines(file)) {
        if (const auto folder = Between(line, kEnvironmentLineStart, kEnvironmentLineEnd)) {
            folders.push_back(NormalFolder(*folder));
        }
    }
    return folders;
}

int AddSearchPathFolder(std::string_view folderText) {
    if (!IsAcceptableFolder(folderText)) return SETUPAID_FAILED;
    const std::string folder = NormalFolder(folderText);
    if (!OnlyRootCanChange(folder)) return SETUPAID_FAILED;
    if (Contains(DefaultPathEntries(), folder)) return SETUPAID_DONE;

    const std::string profileLine = std::string(kProfileLineStart) + folder +
                                    std::string(kProfileLineMiddle) + folder +
                                    std::string(kProfileLineEnd);
    const int profile =
        AddLine(kProfileScript, kProfileHeader, ProfileScriptFolders, folder, profileLine);
    if (profile != SETUPAID_DONE) return profile;
    const std::string environmentLine =
        std::string(kEnvironmentLineStart) + folder + std::string(kEnvironmentLineEnd);
    return AddLine(kEnvironmentFile, kEnvironmentHeader, EnvironmentFileFolders, folder,
                   environmentLine);
}

}  // namespace setupaid
