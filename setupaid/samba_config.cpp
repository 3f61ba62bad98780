#include "setupaid/samba_config.h"

#include <cctype>

#include "setupaid/text_file.h"

namespace setupaid {
namespace {

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// A logical line without its continuations: "a \\\n b" reads "a  b".
std::string Joined(std::string_view text) {
    std::string joined;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            continue;
        }
        joined += text[i];
    }
    return joined;
}

bool EndsWithContinuation(std::string_view physical) {
    while (!physical.empty() &&
           (physical.back() == '\r' || physical.back() == ' ' || physical.back() == '\t')) {
        physical.remove_suffix(1);
    }
    return !physical.empty() && physical.back() == '\\';
}

}  // namespace

std::string SambaConfig::NormalName(std::string_view name) {
    std::string normal;
    for (char c : name) {
        if (c == ' ' || c == '\t' || c == '_') continue;
        normal += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return normal;
}

SambaConfig::SambaConfig(std::string_view text) {
    finalNewline_ = text.empty() || text.back() == '\n';
    const std::vector<std::string_view> physical = SplitLines(text);

    bool inGlobal = true;
    for (size_t i = 0; i < physical.size(); ++i) {
        Line line;
        line.text = std::string(physical[i]);
        while (EndsWithContinuation(physical[i]) && i + 1 < physical.size()) {
            line.text += '\n';
            line.text += physical[++i];
        }
        const std::string joined = Joined(line.text);
        const std::string_view content = Trim(joined);
        if (!content.empty() && content.front() == '[') {
            line.header = true;
            const size_t close = content.find(']');
            inGlobal =
                Lower(Trim(content.substr(1, close == content.npos ? content.npos : close - 1))) ==
                "global";
            line.global = inGlobal;
        } else {
            line.global = inGlobal;
            const size_t equals = content.find('=');
            if (!content.empty() && content.front() != '#' && content.front() != ';' &&
                equals != content.npos) {
                line.key = NormalName(content.substr(0, equals));
                line.value = std::string(Trim(content.substr(equals + 1)));
            }
        }
        lines_.push_back(std::move(line));
    }
}

std::optional<std::string> SambaConfig::Global(std::string_view name) const {
    const std::string key = NormalName(name);
    std::optional<std::string> value;
    for (const Line& line : lines_) {
        if (line.global && !line.header && line.key == key) value = line.value;
    }
    return value;
}

void SambaConfig::SetGlobal(std::string_view name, std::string_view value) {
    const std::string key = NormalName(name);
    Line setting;
    setting.text = "   " + std::string(name) + " = " + std::string(value);
    setting.global = true;
    setting.key = key;
    setting.value = std::string(value);

    bool placed = false;
    for (size_t i = 0; i < lines_.size();) {
        if (lines_[i].global && !lines_[i].header && lines_[i].key == key) {
            if (!placed) {
                lines_[i] = setting;
                placed = true;
                ++i;
            } else {
                lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
            }
            continue;
        }
        ++i;
    }
    if (placed) return;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (!lines_[i].header || !lines_[i].global) continue;
        // At the end of the section, before the blank lines that end it.
        size_t end = i + 1;
        while (end < lines_.size() && !lines_[end].header) ++end;
        while (end > i + 1 && Trim(lines_[end - 1].text).empty()) --end;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(end), setting);
        return;
    }
    Line header;
    header.text = "[global]";
    header.header = true;
    header.global = true;
    lines_.insert(lines_.begin(), {header, setting});
}

std::string SambaConfig::Text() const {
    std::string text;
    for (size_t i = 0; i < lines_.size(); ++i) {
        text += lines_[i].text;
        if (i + 1 < lines_.size() || finalNewline_) text += '\n';
    }
    return text;
}

std::optional<bool> SambaBoolean(std::string_view value) {
    const std::string lower = Lower(Trim(value));
    if (lower == "yes" || lower == "true" || lower == "on" || lower == "1") return true;
    if (lower == "no" || lower == "false" || lower == "off" || lower == "0") return false;
    return std::nullopt;
}

std::optional<std::string> InterfacesWith(const std::optional<std::string>& list,
                                          const std::string& interfaceName) {
    const std::string current = list ? std::string(Trim(*list)) : std::string();
    if (current.empty()) return std::nullopt;
    size_t start = 0;
    while (start < current.size()) {
        const size_t end = current.find_first_of(" \t,", start);
        const std::string_view entry = std::string_view(current).substr(
            start, end == std::string::npos ? current.npos : end - start);
        if (entry.substr(0, entry.find(';')) == interfaceName) return std::nullopt;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return current + " " + interfaceName;
}

}  // namespace setupaid
