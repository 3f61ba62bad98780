#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/threads/event.h"
#include "core/threads/thread.h"

// Message numbers below this are reserved; the program's own start here.
constexpr uint32_t WM_USER = 0x0400;

// The queue through which worker threads report to the thread that owns a
// window-like object (the thread that constructs the port).
//
// Post queues and returns. Send from another thread queues and blocks until
// the owner has handled the message; from the owner thread it calls the
// handler directly. The owner handles messages in arrival order when it
// drains. StopAndWait stops a worker while still handling the messages that
// workers send, so a worker blocked in a Send to the stopping thread cannot
// lock the stop up.
class MessagePort {
  public:
    using Handler = std::function<void(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

    explicit MessagePort(Handler handler);
    ~MessagePort();
    MessagePort(const MessagePort&) = delete;
    MessagePort& operator=(const MessagePort&) = delete;

    // Called, from whichever thread queues a message, after it is queued; an
    // event loop uses it to schedule a Drain on the owner thread.
    void SetWakeUp(std::function<void()> wakeUp);

    void Post(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0);
    // False when the port was closed before the message could be handled.
    bool Send(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0);

    // Owner thread: handles every message queued so far, in arrival order.
    void Drain();
    // Owner thread: waits at most ms for a message, then drains. True when
    // something was handled.
    bool WaitAndDrain(uint32_t ms);
    // Owner thread: stops the worker and waits for its body to return,
    // handling sent messages meanwhile (posted ones stay queued, in order).
    void StopAndWait(KtThread& worker);

    // Refuses further messages and releases every sender still blocked.
    void Close();

    bool IsOwnerThread() const { return std::this_thread::get_id() == owner_; }

  private:
    struct Message {
        uint32_t msg;
        uintptr_t wParam;
        intptr_t lParam;
        // Set for a sent message; the sender waits until it is marked handled.
        std::shared_ptr<bool> handled;
    };

    void Enqueue(Message message);
    bool HandleNext(bool sentOnly);

    const Handler handler_;
    const std::thread::id owner_;
    std::function<void()> wakeUp_;

    std::mutex mutex_;
    std::condition_variable handledSignal_;
    std::deque<Message> queue_;
    bool closed_ = false;
    // Auto-reset: set when a message arrives.
    KtEvent arrived_;
};
