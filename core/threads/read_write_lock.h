#pragma once

#include <climits>
#include <cstdint>
#include <mutex>
#include <semaphore>

// A reader-writer lock that prefers writers: a waiting writer always goes
// before waiting readers, and the readers that queued behind a writer are
// admitted together as one batch when it leaves.
class KtReadWriteLock {
  public:
    KtReadWriteLock() = default;
    KtReadWriteLock(const KtReadWriteLock&) = delete;
    KtReadWriteLock& operator=(const KtReadWriteLock&) = delete;

    void LockShared();
    void LockExclusive();
    void Unlock();

    // Snapshots of the counters, for diagnostics and tests.
    int32_t WaitingReaders();
    int32_t WaitingWriters();
    int32_t Active();

  private:
    std::mutex guard_;
    std::counting_semaphore<INT_MAX> readers_{0};
    std::counting_semaphore<INT_MAX> writers_{0};
    int32_t waitingReaders_ = 0;
    int32_t waitingWriters_ = 0;
    // 0 free, > 0 number of readers holding it, -1 one writer holds it.
    int32_t active_ = 0;
};
