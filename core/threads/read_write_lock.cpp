#include "core/threads/read_write_lock.h"

void KtReadWriteLock::LockShared() {
    bool mustWait;
    {
        std::scoped_lock lock(guard_);
        mustWait = waitingWriters_ != 0 || active_ < 0;
        if (mustWait)
            ++waitingReaders_;
        else
            ++active_;
    }
    if (mustWait) readers_.acquire();
}

void KtReadWriteLock::LockExclusive() {
    bool mustWait;
    {
        std::scoped_lock lock(guard_);
        mustWait = active_ != 0;
        if (mustWait)
            ++waitingWriters_;
        else
            active_ = -1;
    }
    if (mustWait) writers_.acquire();
}

void KtReadWriteLock::Unlock() {
    std::counting_semaphore<INT_MAX>* chosen = nullptr;
    int32_t count = 0;
    {
        std::scoped_lock lock(guard_);
        if (active_ > 0)
            --active_;
        else
            ++active_;
        if (active_ == 0) {
            if (waitingWriters_ > 0) {
                active_ = -1;
                --waitingWriters_;
                chosen = &writers_;
                count = 1;
            } else if (waitingReaders_ > 0) {
                active_ = waitingReaders_;
                waitingReaders_ = 0;
                chosen = &readers_;
                count = active_;
            }
        }
    }
    // Released outside the guard, so the woken threads do not collide with it.
    if (chosen != nullptr) chosen->release(count);
}

int32_t KtReadWriteLock::WaitingReaders() {
    std::scoped_lock lock(guard_);
    return waitingReaders_;
}

int32_t KtReadWriteLock::WaitingWriters() {
    std::scoped_lock lock(guard_);
    return waitingWriters_;
}

int32_t KtReadWriteLock::Active() {
    std::scoped_lock lock(guard_);
    return active_;
}
