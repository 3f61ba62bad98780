#include "core/threads/message_port.h"

#include <algorithm>
#include <utility>

MessagePort::MessagePort(Handler handler)
    : handler_(std::move(handler)), owner_(std::this_thread::get_id()) {}

MessagePort::~MessagePort() {
    Close();
}

void MessagePort::SetWakeUp(std::function<void()> wakeUp) {
    std::scoped_lock lock(mutex_);
    wakeUp_ = std::move(wakeUp);
}

void MessagePort::Enqueue(Message message) {
    std::function<void()> wakeUp;
    {
        std::scoped_lock lock(mutex_);
        queue_.push_back(std::move(message));
        wakeUp = wakeUp_;
    }
    arrived_.Set();
    if (wakeUp) wakeUp();
}

void MessagePort::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    {
        std::scoped_lock lock(mutex_);
        if (closed_) return;
    }
    Enqueue({msg, wParam, lParam, nullptr});
}

bool MessagePort::Send(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (IsOwnerThread()) {
        handler_(msg, wParam, lParam);
        return true;
    }
    auto handled = std::make_shared<bool>(false);
    {
        std::scoped_lock lock(mutex_);
        if (closed_) return false;
    }
    Enqueue({msg, wParam, lParam, handled});
    std::unique_lock lock(mutex_);
    handledSignal_.wait(lock, [&] { return *handled || closed_; });
    return *handled;
}

bool MessagePort::HandleNext(bool sentOnly) {
    Message message;
    {
        std::scoped_lock lock(mutex_);
        auto it = queue_.begin();
        if (sentOnly)
            it = std::find_if(queue_.begin(), queue_.end(),
                              [](const Message& m) { return m.handled != nullptr; });
        if (it == queue_.end()) return false;
        message = std::move(*it);
        queue_.erase(it);
    }
    // No lock is held while the handler runs: it may post, send or stop.
    handler_(message.msg, message.wParam, message.lParam);
    if (message.handled) {
        std::scoped_lock lock(mutex_);
        *message.handled = true;
        handledSignal_.notify_all();
    }
    return true;
}

void MessagePort::Drain() {
    // Only what is queued now: a handler that posts again does not keep the
    // owner here for ever.
    size_t count;
    {
        std::scoped_lock lock(mutex_);
        count = queue_.size();
    }
    while (count-- > 0 && HandleNext(false)) {
    }
}

bool MessagePort::WaitAndDrain(uint32_t ms) {
    bool any;
    {
        std::scoped_lock lock(mutex_);
        any = !queue_.empty();
    }
    if (!any) arrived_.Wait(ms);
    {
        std::scoped_lock lock(mutex_);
        any = !queue_.empty();
    }
    Drain();
    return any;
}

void MessagePort::StopAndWait(KtThread& worker) {
    if (!worker.IsRunning()) {
        worker.StopAndWait();
        return;
    }
    worker.RequestStop();
    for (;;) {
        while (HandleNext(true)) {
        }
        if (WaitForAnyEvent({&worker.ExitedEvent(), &arrived_}, kInfinite) == 0) break;
    }
    // A message that arrived with the end is handled too, before the join.
    while (HandleNext(true)) {
    }
    worker.WaitForExit();
    // Posted messages may remain; make sure an event loop looks at them.
    bool pending;
    {
        std::scoped_lock lock(mutex_);
        pending = !queue_.empty();
    }
    if (pending) arrived_.Set();
}

void MessagePort::Close() {
    std::scoped_lock lock(mutex_);
    closed_ = true;
    handledSignal_.notify_all();
}
