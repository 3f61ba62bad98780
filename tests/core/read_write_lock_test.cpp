#include "core/threads/read_write_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/threads/event.h"

namespace {

// Spins (yielding) until the lock's own counters reach the wanted state: the
// lock itself tells when a thread has queued, no sleeps involved.
template <class Predicate>
void WaitUntil(Predicate predicate) {
    while (!predicate()) std::this_thread::yield();
}

TEST(ReadWriteLock, ReadersShareTheLock) {
    KtReadWriteLock lock;
    lock.LockShared();
    lock.LockShared();
    EXPECT_EQ(lock.Active(), 2);
    lock.Unlock();
    lock.Unlock();
    EXPECT_EQ(lock.Active(), 0);
}

TEST(ReadWriteLock, AWaitingWriterGoesFirstThenQueuedReadersAsOneBatch) {
    KtReadWriteLock lock;
    lock.LockShared();  // the first reader holds the lock

    std::atomic<bool> writerIn{false};
    std::atomic<int> readersIn{0};
    std::atomic<bool> readersSawWriterDone{true};

    std::thread writer([&] {
        lock.LockExclusive();
        writerIn = true;
        // No queued reader may be inside while the writer holds the lock.
        EXPECT_EQ(readersIn.load(), 0);
        writerIn = false;
        lock.Unlock();
    });
    WaitUntil([&] { return lock.WaitingWriters() == 1; });

    // A new reader must queue behind the waiting writer although a reader
    // still holds the lock.
    KtEvent bothIn(true, false);
    auto reader = [&] {
        lock.LockShared();
        if (writerIn.load()) readersSawWriterDone = false;
        if (++readersIn == 2) bothIn.Set();
        // Both queued readers hold the lock together before either leaves.
        bothIn.Wait(kInfinite);
        lock.Unlock();
    };
    std::thread reader2(reader);
    std::thread reader3(reader);
    WaitUntil([&] { return lock.WaitingReaders() == 2; });
    EXPECT_FALSE(writerIn.load());
    EXPECT_EQ(readersIn.load(), 0);

    lock.Unlock();  // the first reader leaves: the writer, then the batch
    writer.join();
    reader2.join();
    reader3.join();
    EXPECT_EQ(readersIn.load(), 2);
    EXPECT_TRUE(readersSawWriterDone.load());
    EXPECT_EQ(lock.Active(), 0);
    EXPECT_EQ(lock.WaitingReaders(), 0);
    EXPECT_EQ(lock.WaitingWriters(), 0);
}

TEST(ReadWriteLock, WritersExcludeEachOther) {
    KtReadWriteLock lock;
    int counter = 0;  // deliberately unsynchronised: the lock must protect it
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                lock.LockExclusive();
                ++counter;
                lock.Unlock();
            }
        });
    for (auto& w : writers) w.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
