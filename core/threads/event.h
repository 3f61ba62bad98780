#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

// Wait time meaning "no limit".
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// An event as worker threads know it: signalled or not, manual-reset (stays
// signalled until Reset) or auto-reset (one successful wait consumes it).
// Several events can be waited on at once with WaitForAnyEvent.
class KtEvent {
  public:
    explicit KtEvent(bool manualReset = false, bool initiallySet = false);
    KtEvent(const KtEvent&) = delete;
    KtEvent& operator=(const KtEvent&) = delete;

    void Set();
    void Reset();
    // True when the event was signalled within ms milliseconds (kInfinite: no limit).
    bool Wait(uint32_t ms);
    // Reads the state without consuming it.
    bool IsSet();

  private:
    friend int WaitForAnyEvent(std::initializer_list<KtEvent*> events, uint32_t ms);

    // One waiting call; registered with every event it waits on, so that a Set
    // on any of them wakes it.
    struct Waiter {
        std::mutex mutex;
        std::condition_variable wake;
        bool woken = false;
    };

    bool TryConsume();
    void AddWaiter(Waiter* waiter);
    void RemoveWaiter(Waiter* waiter);

    std::mutex mutex_;
    bool set_;
    const bool manualReset_;
    std::vector<Waiter*> waiters_;
};

// Waits until one of the events is signalled or ms milliseconds have passed.
// Returns the index of the event that ended the wait (the lowest index when
// several are signalled), or -1 on time-out. An auto-reset event that ends the
// wait is consumed.
int WaitForAnyEvent(std::initializer_list<KtEvent*> events, uint32_t ms);
