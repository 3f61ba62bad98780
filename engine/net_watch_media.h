#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/threads/thread.h"
#include "engine/wake_signal.h"

constexpr int32_t kLinkStateUnknown = 0;
constexpr int32_t kLinkStateDisconnected = 1;
constexpr int32_t kLinkStateConnected = 2;

constexpr uint32_t kLinkPollPeriodMs = 1000;
constexpr const char* kSystemNetRoot = "/sys/class/net";

// What the link watcher reports to its owner, and how the owner stops it.
class LinkWatchOwner {
  public:
    // Called on the watcher thread with kCableUnplugged or kCableConnected;
    // the owner posts WM_LW_CABLE.
    virtual void CableChanged(int state) = 0;
    // Called on the watcher thread when an interface of the watched name was
    // deleted and made again (a USB adapter replugged) and has its link: a
    // capture opened on the old one reads and sends nothing any more. Once
    // per new interface; the cable report of that change is left out.
    virtual void AdapterReturned() = 0;
    // How Stop waits for the watcher thread, on the thread that calls Stop
    // (an owner that is sent messages waits through MessagePort::StopAndWait).
    virtual void StopWatcher(KtThread& watcher) { watcher.StopAndWait(); }

  protected:
    ~LinkWatchOwner() = default;
};

// Watches whether the cable of the monitored adapter is plugged in: it reads
// the interface's carrier at the start and whenever the kernel sends a link
// message (netlink, RTM_NEWLINK and RTM_DELLINK), or once a poll period
// where no such messages can be had (a planted sysfs tree, no netlink), and
// reports a change between two successful readings of the same interface
// (1 unplugged, 2 connected). Between messages the thread sleeps. The
// first reading after a start or a change of interface, and any reading after
// a failed one, set the state silently.
//
// The interface's "ifindex" tells a replugged adapter from the one that was
// there: the kernel gives every new interface a new index, whatever its name.
//
// The interface is read from sysfs: "carrier" is 1 or 0 while the interface
// is administratively up. An interface that is administratively down has no
// carrier to read (the kernel answers EINVAL); that is a failed query, as a
// disabled adapter cannot be asked either, not an unplugged cable. Where
// "carrier" cannot be read on an interface that is up, "operstate" decides
// ("up" connected; "down", "lowerlayerdown" disconnected; anything else is a
// failed query).
class KtNetWatchMedia {
  public:
    explicit KtNetWatchMedia(std::string sysfsNetRoot = kSystemNetRoot,
                             uint32_t pollPeriodMs = kLinkPollPeriodMs);
    ~KtNetWatchMedia();
    KtNetWatchMedia(const KtNetWatchMedia&) = delete;
    KtNetWatchMedia& operator=(const KtNetWatchMedia&) = delete;

    // Reports to `owner` from now on, in place of any earlier owner; it must
    // outlive the connection.
    void Connect(LinkWatchOwner& owner);
    // Stops the watcher (through the owner's StopWatcher) and forgets the
    // owner: no report runs any more once this returns.
    void Disconnect();
    void SetDeviceName(std::string deviceName);

    void Start();
    void Stop();
    bool IsRunning();

    int32_t LinkState() const { return linkState_; }

    // One poll as the watcher thread does it; public for tests.
    void Poll();

  private:
    using Worker = KtThreadClassFunction<KtNetWatchMedia>;

    int PollLoop(KtThread& thread);

    std::unique_ptr<Worker> thread_;
    std::mutex lock_;
    LinkWatchOwner* owner_ = nullptr;
    std::string deviceName_;
    const std::string sysfsNetRoot_;
    const uint32_t pollPeriodMs_;
    // Wakes the thread from its wait for link messages for a stop.
    WakeSignal stopSignal_;
    // Used by the polling thread only (or by Poll while no thread runs).
    std::string lastPolledName_;
    // The index of the interface seen under that name (empty: not known),
    // and whether a new one replaced it and has not been reported yet.
    std::string lastIfindex_;
    bool replaced_ = false;
    std::atomic<int32_t> linkState_{kLinkStateUnknown};
};
