#include "engine/capture_permission.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>

namespace {

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

bool IsPlainPathCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+';
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

std::string CurrentExecutablePath() {
    std::array<char, PATH_MAX> buffer{};
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
        return {};
    }
    return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string CapturePermissionHint(const std::string& executablePath) {
    std::string path = executablePath.empty() ? std::string("/path/to/linewatch") : executablePath;
    bool plain = true;
    for (char c : path) {
        plain = plain && IsPlainPathCharacter(c);
    }
    std::string quoted;
    if (plain) {
        quoted = path;
    } else {
        quoted = "'";
        for (char c : path) {
            if (c == '\'') {
                quoted += "'\\''";
            } else {
                quoted += c;
            }
        }
        quoted += "'";
    }
    return "Capturing network frames needs the CAP_NET_RAW capability.\n"
           "Grant it with: sudo setcap cap_net_raw+p " +
           quoted + "\n";
}
