#include "engine/capture_permission.h"

#include <linux/capability.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <string_view>

namespace {

// The group whose members may run the capture helper.
constexpr std::string_view kCaptureGroup = "linewatch";

// The raw syscalls take a header and two 32-bit words per set (version 3).
struct CapabilitySets {
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
};

constexpr unsigned kNetRawWord = CAP_NET_RAW / 32;
constexpr std::uint32_t kNetRawBit = 1u << (CAP_NET_RAW % 32);

bool ReadCapabilities(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, sets.data.data()) == 0;
}

bool WriteCapabilities(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, sets.data.data()) == 0;
}

bool NetRawEffective(const CapabilitySets& sets) {
    return (sets.data[kNetRawWord].effective & kNetRawBit) != 0;
}

bool NetRawPermitted(const CapabilitySets& sets) {
    return (sets.data[kNetRawWord].permitted & kNetRawBit) != 0;
}

bool SetNetRawEffective(bool on) {
    CapabilitySets sets;
    if (!ReadCapabilities(sets)) {
        return false;
    }
    if (on) {
        sets.data[kNetRawWord].effective |= kNetRawBit;
    } else {
        sets.data[kNetRawWord].effective &= ~kNetRawBit;
    }
    return WriteCapabilities(sets);
}

bool IsPlainNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

}  // namespace

bool HasCapturePermission() {
    CapabilitySets sets;
    if (!ReadCapabilities(sets)) {
        return false;
    }
    return NetRawEffective(sets) || NetRawPermitted(sets);
}

void LowerCaptureCapability() {
    if (geteuid() == 0) {
        return;
    }
    CapabilitySets sets;
    if (ReadCapabilities(sets) && NetRawEffective(sets)) {
        SetNetRawEffective(false);
    }
}

ScopedCaptureCapability::ScopedCaptureCapability() {
    CapabilitySets sets;
    if (ReadCapabilities(sets) && !NetRawEffective(sets) && NetRawPermitted(sets)) {
        raised_ = SetNetRawEffective(true);
    }
}

ScopedCaptureCapability::~ScopedCaptureCapability() {
    if (raised_) {
        SetNetRawEffective(false);
    }
}

std::string CurrentUserName() {
    const uid_t uid = getuid();
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && *found->pw_name != '\0') {
        return found->pw_name;
    }
    return std::to_string(uid);
}

std::string CapturePermissionHint(const std::string& userName) {
    std::string name = userName.empty() ? std::string("USER") : userName;
    bool plain = true;
    for (char c : name) {
        plain = plain && IsPlainNameCharacter(c);
    }
    if (!plain) {
        std::string quoted = "'";
        for (char c : name) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        name = quoted + "'";
    }
    return "Capturing network frames needs membership of the " + std::string(kCaptureGroup) +
           " group.\nJoin it with: sudo usermod -aG " + std::string(kCaptureGroup) + " " + name +
           " (then log in again)\n";
}
