#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/threads/functors.h"
#include "core/threads/thread.h"

constexpr int32_t kLinkStateUnknown = 0;
constexpr int32_t kLinkStateDisconnected = 1;
constexpr int32_t kLinkStateConnected = 2;

constexpr uint32_t kLinkPollPeriodMs = 1000;

// Watches whether the cable of the monitored adapter is plugged in: once a
// second it reads the interface's carrier and reports a change between two
// successful readings of the same interface (1 unplugged, 2 connected). The
// first reading after a start or a change of interface, and any reading after
// a failed one, set the state silently.
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
    using Notification = std::shared_ptr<KtUnaryFunctionSafe<void, int>>;

    explicit KtNetWatchMedia(std::string sysfsNetRoot = "/sys/class/net");
    ~KtNetWatchMedia();
    KtNetWatchMedia(const KtNetWatchMedia&) = delete;
    KtNetWatchMedia& operator=(const KtNetWatchMedia&) = delete;

    // Called on the watcher thread with kCableUnplugged or kCableConnected;
    // the owner's member posts WM_LW_CABLE.
    void SetNotification(Notification notification);
    void SetDeviceName(std::string deviceName);
    // How Stop waits for the watcher thread (MessagePort::StopAndWait from the
    // owner thread); default KtThread::StopAndWait.
    void SetStopWaiter(std::function<void(KtThread&)> stopWaiter);

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
    Notification notification_;
    std::string deviceName_;
    std::function<void(KtThread&)> stopWaiter_;
    const std::string sysfsNetRoot_;
    // Used by the polling thread only (or by Poll while no thread runs).
    std::string lastPolledName_;
    std::atomic<int32_t> linkState_{kLinkStateUnknown};
};
