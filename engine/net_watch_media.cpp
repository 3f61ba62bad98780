#include "engine/net_watch_media.h"

#include <optional>
#include <string_view>
#include <utility>

#include "core/debug_output.h"
#include "engine/engine_messages.h"
#include "engine/net_interface_info.h"

namespace {

enum class CarrierReading { kConnected, kDisconnected, kOther, kFailed };

CarrierReading ReadCarrier(const std::string& root, const std::string& name) {
    if (const std::optional<std::string> carrier = ReadInterfaceAttribute(root, name, "carrier")) {
        if (*carrier == "1") return CarrierReading::kConnected;
        if (*carrier == "0") return CarrierReading::kDisconnected;
        return CarrierReading::kOther;
    }
    // Administratively down: the carrier is not known, the query fails.
    const std::optional<bool> up = ReadInterfaceAdministrativelyUp(root, name);
    if (!up || !*up) {
        return CarrierReading::kFailed;
    }
    const std::optional<std::string> operstate = ReadInterfaceAttribute(root, name, "operstate");
    if (!operstate) return CarrierReading::kFailed;
    if (*operstate == "up") return CarrierReading::kConnected;
    if (*operstate == "down" || *operstate == "lowerlayerdown")
        return CarrierReading::kDisconnected;
    return CarrierReading::kFailed;
}

}  // namespace

KtNetWatchMedia::KtNetWatchMedia(std::string sysfsNetRoot, uint32_t pollPeriodMs)
    : sysfsNetRoot_(std::move(sysfsNetRoot)), pollPeriodMs_(pollPeriodMs) {}

KtNetWatchMedia::~KtNetWatchMedia() {
    Stop();
}

void KtNetWatchMedia::Connect(LinkWatchReports reports) {
    std::scoped_lock lock(lock_);
    reports_ = std::move(reports);
}

void KtNetWatchMedia::Disconnect() {
    Stop();
    std::scoped_lock lock(lock_);
    reports_ = {};
}

void KtNetWatchMedia::SetDeviceName(std::string deviceName) {
    std::scoped_lock lock(lock_);
    deviceName_ = std::move(deviceName);
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
        stopWaiter = reports_.stopWaiter;
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
        thread.WaitForStop(pollPeriodMs_);
    }
    return 0;
}

void KtNetWatchMedia::Poll() {
    std::string deviceName;
    std::function<void(int)> cableChanged;
    {
        std::scoped_lock lock(lock_);
        deviceName = deviceName_;
        cableChanged = reports_.cableChanged;
    }
    if (!InterfaceEntryExists(sysfsNetRoot_, deviceName)) {
        linkState_ = kLinkStateUnknown;
        DebugOutput("adapter_status::PacketOpenAdapter(): FALSE\n");
        return;
    }
    const CarrierReading reading = ReadCarrier(sysfsNetRoot_, deviceName);
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
    if (report != 0 && cableChanged) {
        cableChanged(report);
    }
}
