#include "engine/net_watch_media.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>

#include "core/debug_output.h"
#include "engine/engine_messages.h"

namespace {

enum class CarrierReading { kConnected, kDisconnected, kOther, kFailed };

// Reads a small sysfs attribute; nullopt when it cannot be read.
std::optional<std::string> ReadAttribute(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::array<char, 64> buffer{};
    const ssize_t length = read(fd, buffer.data(), buffer.size());
    close(fd);
    if (length < 0) {
        return std::nullopt;
    }
    std::string text(buffer.data(), static_cast<size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// IFF_UP from the interface's flags, e.g. "0x1003".
std::optional<bool> ReadAdministrativelyUp(const std::string& base) {
    const std::optional<std::string> flags = ReadAttribute(base + "/flags");
    if (!flags) {
        return std::nullopt;
    }
    std::string_view digits = *flags;
    if (digits.starts_with("0x")) {
        digits.remove_prefix(2);
    }
    unsigned long value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return (value & 0x1u) != 0;
}

CarrierReading ReadCarrier(const std::string& base) {
    if (const std::optional<std::string> carrier = ReadAttribute(base + "/carrier")) {
        if (*carrier == "1") return CarrierReading::kConnected;
        if (*carrier == "0") return CarrierReading::kDisconnected;
        return CarrierReading::kOther;
    }
    // Administratively down: the carrier is not known, the query fails.
    const std::optional<bool> up = ReadAdministrativelyUp(base);
    if (!up || !*up) {
        return CarrierReading::kFailed;
    }
    const std::optional<std::string> operstate = ReadAttribute(base + "/operstate");
    if (!operstate) return CarrierReading::kFailed;
    if (*operstate == "up") return CarrierReading::kConnected;
    if (*operstate == "down" || *operstate == "lowerlayerdown")
        return CarrierReading::kDisconnected;
    return CarrierReading::kFailed;
}

bool IsPlainInterfaceName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

KtNetWatchMedia::KtNetWatchMedia(std::string sysfsNetRoot)
    : sysfsNetRoot_(std::move(sysfsNetRoot)) {}

KtNetWatchMedia::~KtNetWatchMedia() {
    Stop();
}

void KtNetWatchMedia::SetNotification(Notification notification) {
    std::scoped_lock lock(lock_);
    notification_ = std::move(notification);
}

void KtNetWatchMedia::SetDeviceName(std::string deviceName) {
    std::scoped_lock lock(lock_);
    deviceName_ = std::move(deviceName);
}

void KtNetWatchMedia::SetStopWaiter(std::function<void(KtThread&)> stopWaiter) {
    std::scoped_lock lock(lock_);
    stopWaiter_ = std::move(stopWaiter);
}

void KtNetWatchMedia::Start() {
    if (thread_ && thread_->IsRunning()) {
        return;
    }
    thread_ = std::make_unique<Worker>();
    thread_->object = this;
    thread_->method = &KtNetWatchMedia::PollLoop;
    thread_->CreateThread();
}

void KtNetWatchMedia::Stop() {
    if (!thread_) {
        return;
    }
    std::function<void(KtThread&)> stopWaiter;
    {
        std::scoped_lock lock(lock_);
        stopWaiter = stopWaiter_;
    }
    if (stopWaiter) {
        stopWaiter(*thread_);
    } else {
        thread_->StopAndWait();
    }
    thread_.reset();
}

bool KtNetWatchMedia::IsRunning() {
    return thread_ && thread_->IsRunning();
}

int KtNetWatchMedia::PollLoop(KtThread& thread) {
    while (!thread.IsStopRequested()) {
        Poll();
        thread.WaitForStop(kLinkPollPeriodMs);
    }
    return 0;
}

void KtNetWatchMedia::Poll() {
    std::string deviceName;
    Notification notification;
    {
        std::scoped_lock lock(lock_);
        deviceName = deviceName_;
        notification = notification_;
    }
    const std::string base = sysfsNetRoot_ + "/" + deviceName;
    struct stat info {};
    if (!IsPlainInterfaceName(deviceName) || stat(base.c_str(), &info) != 0) {
        linkState_ = kLinkStateUnknown;
        DebugOutput("adapter_status::PacketOpenAdapter(): FALSE\n");
        return;
    }
    const CarrierReading reading = ReadCarrier(base);
    if (reading == CarrierReading::kFailed) {
        linkState_ = kLinkStateUnknown;
        DebugOutput("adapter_status::PacketRequest(): FALSE\n");
        return;
    }
    const bool sameDevice = deviceName == lastPolledName_;
    int report = 0;
    if (reading == CarrierReading::kConnected) {
        if (linkState_ == kLinkStateDisconnected && sameDevice) report = kCableConnected;
        linkState_ = kLinkStateConnected;
    } else if (reading == CarrierReading::kDisconnected) {
        if (linkState_ == kLinkStateConnected && sameDevice) report = kCableUnplugged;
        linkState_ = kLinkStateDisconnected;
    }
    lastPolledName_ = deviceName;
    if (report != 0 && notification) {
        notification->Call(report);
    }
}
