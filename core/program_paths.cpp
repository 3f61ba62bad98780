#include "core/program_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/file_system.h"

std::string GetProgramPath() {
    // readlink does not say whether it truncated, so grow until the result
    // leaves room to spare.
    std::vector<char> buffer(256);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
    return {};
}

std::string GetProgramFolder() {
    std::string path = GetProgramPath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    path.resize(slash);
    return path;
}

std::string GetAppDataFolder() {
    // The XDG rules say a relative XDG_DATA_HOME is invalid and must be ignored.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        return dataHome;
    }
    const std::string home = HomeFolder();
    if (home.empty()) {
        return {};
    }
    return JoinPath(home, ".local/share");
}

namespace {

bool LookUpVariable(const std::string& name, std::string& value) {
    const char* found = std::getenv(name.c_str());
    if (found != nullptr) {
        value = found;
        return true;
    }
    if (name == "APPDATA") {
        value = GetAppDataFolder();
        return !value.empty();
    }
    return false;
}

void AppendLiteral(std::string& out, std::string_view literal) {
    for (char c : literal) {
        out.push_back(c == '\\' ? '/' : c);
    }
}

}  // namespace

std::string ExpandEnvironmentText(std::string_view text) {
    std::string out;
    size_t position = 0;
    while (position < text.size()) {
        size_t open = text.find('%', position);
        if (open == std::string_view::npos) {
            AppendLiteral(out, text.substr(position));
            break;
        }
        AppendLiteral(out, text.substr(position, open - position));
        size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) {
            AppendLiteral(out, text.substr(open));
            break;
        }
        std::string name(text.substr(open + 1, close - open - 1));
        std::string value;
        // A name with "=" or NUL cannot be an environment variable.
        if (!name.empty() && name.find('=') == std::string::npos &&
            name.find('\0') == std::string::npos && LookUpVariable(name, value)) {
            out += value;
            position = close + 1;
        } else {
            // Keep the first "%" and rescan from the second, which may open a
            // reference of its own ("100%%APPDATA%" keeps "100%").
            AppendLiteral(out, text.substr(open, close - open));
            position = close;
        }
    }
    return out;
}
