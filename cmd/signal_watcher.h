#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "core/threads/message_port.h"

// Turns SIGINT and SIGTERM into a flag and a wake-up of the owner loop. The
// signals are blocked in every thread (the mask is set before any starts)
// and read from a signalfd here.
class SignalWatcher {
  public:
    // Wakes the owner loop without meaning anything to the monitor.
    static constexpr uint32_t kWakeMessage = WM_USER + 99;

    explicit SignalWatcher(int signalFd);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Starts the thread that posts kWakeMessage to `port` on a quit signal.
    void Start(MessagePort& port);
    void Stop();
    bool Signalled() const { return signalled_; }

  private:
    int signalFd_;
    int stopFd_;
    std::thread thread_;
    std::atomic<bool> signalled_{false};
};
