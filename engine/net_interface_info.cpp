#include "engine/net_interface_info.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>

#include "core/unique_fd.h"

namespace {

std::string InterfacePath(const std::string& root, const std::string& name,
                          std::string_view entry) {
    std::string path = root + "/" + name;
    if (!entry.empty()) {
        path += '/';
        path += entry;
    }
    return path;
}

}  // namespace

bool IsPlainInterfaceName(std::string_view name) {
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos;
}

std::optional<std::string> ReadInterfaceAttribute(const std::string& sysfsNetRoot,
                                                  const std::string& name,
                                                  std::string_view attribute) {
    if (!IsPlainInterfaceName(name)) return std::nullopt;
    const std::string path = InterfacePath(sysfsNetRoot, name, attribute);
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::array<char, 256> buffer{};
    const ssize_t length = read(fd.Get(), buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    std::string text(buffer.data(), static_cast<size_t>(length));
    if (const size_t end = text.find('\n'); end != std::string::npos) text.resize(end);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool InterfaceEntryExists(const std::string& sysfsNetRoot, const std::string& name,
                          std::string_view entry) {
    if (!IsPlainInterfaceName(name)) return false;
    struct stat info {};
    return lstat(InterfacePath(sysfsNetRoot, name, entry).c_str(), &info) == 0;
}

std::optional<bool> ReadInterfaceAdministrativelyUp(const std::string& sysfsNetRoot,
                                                    const std::string& name) {
    const std::optional<std::string> flags = ReadInterfaceAttribute(sysfsNetRoot, name, "flags");
    if (!flags) return std::nullopt;
    std::string_view digits = *flags;
    if (digits.starts_with("0x")) digits.remove_prefix(2);
    unsigned long value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return (value & IFF_UP) != 0;
}
