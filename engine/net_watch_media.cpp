#include "engine/net_watch_media.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "core/debug_output.h"
#include "core/unique_fd.h"
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

// A netlink socket that receives the kernel's link messages (RTM_NEWLINK on
// every carrier or administrative change, RTM_DELLINK); invalid when it
// cannot be opened.
UniqueFd OpenLinkEvents() {
    UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!socket) return socket;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    if (bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    return socket;
}

// Empties the socket: which message came does not matter, sysfs is read
// afresh after any of them. An overrun (ENOBUFS) ends the draining too.
void DrainLinkEvents(int socket) {
    std::array<char, 8192> buffer;
    while (recv(socket, buffer.data(), buffer.size(), 0) > 0) {
    }
}

}  // namespace

KtNetWatchMedia::KtNetWatchMedia(std::string sysfsNetRoot, uint32_t pollPeriodMs)
    : sysfsNetRoot_(std::move(sysfsNetRoot)), pollPeriodMs_(pollPeriodMs) {}

KtNetWatchMedia::~KtNetWatchMedia() {
    Stop();
}

void KtNetWatchMedia::Connect(LinkWatchOwner& owner) {
    std::scoped_lock lock(lock_);
    owner_ = &owner;
}

void KtNetWatchMedia::Disconnect() {
    Stop();
    std::scoped_lock lock(lock_);
    owner_ = nullptr;
}

void KtNetWatchMedia::SetDeviceName(std::string deviceName) {
    std::scoped_lock lock(lock_);
    deviceName_ = std::move(deviceName);
}

void KtNetWatchMedia::Start() {
    if (thread_ && thread_->IsRunning()) {
        return;
    }
    // An interface replaced while nobody watched is the one a new capture
    // opens on: only a replacement seen from now on is reported.
    lastIfindex_.clear();
    replaced_ = false;
    thread_ = std::make_unique<Worker>();
    thread_->object = this;
    thread_->method = &KtNetWatchMedia::PollLoop;
    thread_->CreateThread();
}

void KtNetWatchMedia::Stop() {
    if (!thread_) {
        return;
    }
    LinkWatchOwner* owner;
    {
        std::scoped_lock lock(lock_);
        owner = owner_;
    }
    // The thread may sleep in poll(), which its stop event cannot end.
    stopSignal_.Signal();
    if (owner != nullptr) {
        owner->StopWatcher(*thread_);
    } else {
        thread_->StopAndWait();
    }
    thread_.reset();
    stopSignal_.Clear();
}

bool KtNetWatchMedia::IsRunning() {
    return thread_ && thread_->IsRunning();
}

int KtNetWatchMedia::PollLoop(KtThread& thread) {
    // Link messages describe the system's own interfaces: with them the
    // thread sleeps until something changes. A planted tree, or no netlink,
    // is read at the poll period.
    const UniqueFd events =
        sysfsNetRoot_ == kSystemNetRoot && stopSignal_.Valid() ? OpenLinkEvents() : UniqueFd();
    while (!thread.IsStopRequested()) {
        Poll();
        if (!events) {
            thread.WaitForStop(pollPeriodMs_);
            continue;
        }
        pollfd waits[2] = {{events.Get(), POLLIN, 0}, {stopSignal_.Get(), POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno != EINTR) thread.WaitForStop(pollPeriodMs_);
            continue;
        }
        if (waits[1].revents != 0) break;
        DrainLinkEvents(events.Get());
    }
    return 0;
}

void KtNetWatchMedia::Poll() {
    std::string deviceName;
    LinkWatchOwner* owner;
    {
        std::scoped_lock lock(lock_);
        deviceName = deviceName_;
        owner = owner_;
    }
    if (!InterfaceEntryExists(sysfsNetRoot_, deviceName)) {
        linkState_ = kLinkStateUnknown;
        DebugOutput("adapter_status::PacketOpenAdapter(): FALSE\n");
        return;
    }
    if (deviceName != lastPolledName_) {
        lastIfindex_.clear();
        replaced_ = false;
    }
    // Read before the carrier: a new interface is often down at first, and
    // its index must be known by the time it comes up.
    if (const std::optional<std::string> ifindex =
            ReadInterfaceAttribute(sysfsNetRoot_, deviceName, "ifindex")) {
        if (!lastIfindex_.empty() && *ifindex != lastIfindex_) replaced_ = true;
        lastIfindex_ = *ifindex;
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
    if (replaced_ && reading == CarrierReading::kConnected) {
        replaced_ = false;
        if (owner != nullptr) owner->AdapterReturned();
        return;
    }
    if (report != 0 && owner != nullptr) {
        owner->CableChanged(report);
    }
}
