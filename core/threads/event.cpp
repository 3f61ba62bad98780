#include "core/threads/event.h"

#include <algorithm>
#include <chrono>

KtEvent::KtEvent(bool manualReset, bool initiallySet)
    : set_(initiallySet), manualReset_(manualReset) {}

void KtEvent::Set() {
    std::scoped_lock lock(mutex_);
    set_ = true;
    // Waiters are notified under this event's lock, so none can unregister and
    // vanish while being woken.
    for (Waiter* waiter : waiters_) {
        std::scoped_lock waiterLock(waiter->mutex);
        waiter->woken = true;
        waiter->wake.notify_one();
    }
}

void KtEvent::Reset() {
    std::scoped_lock lock(mutex_);
    set_ = false;
}

bool KtEvent::Wait(uint32_t ms) {
    return WaitForAnyEvent({this}, ms) == 0;
}

bool KtEvent::IsSet() {
    std::scoped_lock lock(mutex_);
    return set_;
}

bool KtEvent::TryConsume() {
    std::scoped_lock lock(mutex_);
    if (!set_) return false;
    if (!manualReset_) set_ = false;
    return true;
}

void KtEvent::AddWaiter(Waiter* waiter) {
    std::scoped_lock lock(mutex_);
    waiters_.push_back(waiter);
}

void KtEvent::RemoveWaiter(Waiter* waiter) {
    std::scoped_lock lock(mutex_);
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

int WaitForAnyEvent(std::initializer_list<KtEvent*> events, uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    KtEvent::Waiter waiter;
    for (KtEvent* event : events) event->AddWaiter(&waiter);

    auto consumeFirst = [&events]() -> int {
        int index = 0;
        for (KtEvent* event : events) {
            if (event->TryConsume()) return index;
            ++index;
        }
        return -1;
    };

    int result = -1;
    for (;;) {
        {
            // Cleared before looking, so that a Set between the look and the
            // sleep below is not missed.
            std::scoped_lock lock(waiter.mutex);
            waiter.woken = false;
        }
        result = consumeFirst();
        if (result >= 0 || ms == 0) break;

        std::unique_lock lock(waiter.mutex);
        if (ms == kInfinite) {
            waiter.wake.wait(lock, [&waiter] { return waiter.woken; });
        } else if (!waiter.wake.wait_until(lock, deadline, [&waiter] { return waiter.woken; })) {
            lock.unlock();
            result = consumeFirst();
            break;
        }
    }

    for (KtEvent* event : events) event->RemoveWaiter(&waiter);
    return result;
}
