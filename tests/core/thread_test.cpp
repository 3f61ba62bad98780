#include "core/threads/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A worker body that records what it saw, driven by events only.
struct Body {
    KtEvent entered{true, false};
    KtEvent work{false, false};
    std::atomic<bool> returned{false};
    std::atomic<int> result{-1};

    int LoopUntilStop(KtThread& thread) {
        entered.Set();
        while (!thread.IsStopRequested()) thread.WaitForStop(kInfinite);
        returned = true;
        return 0;
    }

    int WaitOnceForStop(KtThread& thread) {
        entered.Set();
        result = thread.WaitForStop(1000) == KtWaitResult::kSignalled ? 1 : 0;
        return 0;
    }

    int WaitOnceForWork(KtThread& thread) {
        entered.Set();
        result = thread.WaitForObjectOrStop(work, kInfinite) ? 1 : 0;
        return 0;
    }
};

std::unique_ptr<KtThreadClassFunction<Body>> StartBody(Body& body, int (Body::*method)(KtThread&)) {
    auto thread = std::make_unique<KtThreadClassFunction<Body>>();
    thread->object = &body;
    thread->method = method;
    EXPECT_TRUE(thread->CreateThread());
    body.entered.Wait(kInfinite);
    return thread;
}

TEST(StopProtocol, StopFlagIsClearAfterStartAndStaysSetAfterRequest) {
    Body body;
    auto thread = StartBody(body, &Body::LoopUntilStop);
    EXPECT_FALSE(thread->IsStopRequested());
    EXPECT_TRUE(thread->IsRunning());
    thread->RequestStop();
    EXPECT_TRUE(thread->IsStopRequested());
    thread->WaitForExit();
    EXPECT_TRUE(body.returned);
    EXPECT_FALSE(thread->IsRunning());
    // Never reset: the object serves for one run only.
    EXPECT_TRUE(thread->IsStopRequested());
    EXPECT_EQ(thread->WaitForStop(0), KtWaitResult::kSignalled);
}

TEST(StopProtocol, StopAndWaitOnAThreadNeverStartedReturnsAtOnce) {
    KtThreadClassFunction<Body> thread;
    thread.StopAndWait();
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.IsStopRequested());
}

TEST(StopProtocol, StopAndWaitOnAnEndedThreadDoesNotRequestAStop) {
    Body body;
    body.work.Set();
    auto thread = StartBody(body, &Body::WaitOnceForWork);
    thread->ExitedEvent().Wait(kInfinite);
    thread->StopAndWait();
    EXPECT_EQ(body.result, 1);
    EXPECT_FALSE(thread->IsStopRequested());
}

TEST(StopProtocol, DestroyingARunningThreadWaitsForItsBody) {
    Body body;
    auto thread = StartBody(body, &Body::LoopUntilStop);
    thread.reset();
    EXPECT_TRUE(body.returned);
}

TEST(StopProtocol, AStartedThreadCannotBeStartedTwice) {
    Body body;
    auto thread = StartBody(body, &Body::LoopUntilStop);
    EXPECT_FALSE(thread->CreateThread());
    thread->StopAndWait();
}

TEST(InterruptibleWaits, WaitForStopEndsEarlyOnAStop) {
    Body body;
    auto thread = StartBody(body, &Body::WaitOnceForStop);
    thread->RequestStop();
    thread->WaitForExit();
    EXPECT_EQ(body.result, 1);
}

TEST(InterruptibleWaits, WaitForStopTimesOutWithoutAStop) {
    KtThread idle;
    EXPECT_EQ(idle.WaitForStop(5), KtWaitResult::kTimeout);
}

TEST(InterruptibleWaits, WaitForObjectOrStopIsFalseWhenTheStopComesFirst) {
    Body body;
    auto thread = StartBody(body, &Body::WaitOnceForWork);
    thread->RequestStop();
    thread->WaitForExit();
    EXPECT_EQ(body.result, 0);
}

TEST(InterruptibleWaits, WaitForObjectOrStopIsTrueWhenTheEventComesFirst) {
    Body body;
    auto thread = StartBody(body, &Body::WaitOnceForWork);
    body.work.Set();
    thread->ExitedEvent().Wait(kInfinite);
    EXPECT_EQ(body.result, 1);
    // The auto-reset event was consumed by the wait that it ended.
    EXPECT_FALSE(body.work.IsSet());
    thread->StopAndWait();
}

TEST(InterruptibleWaits, WaitForObjectOrStopTimesOutFalse) {
    KtThread idle;
    KtEvent never;
    EXPECT_FALSE(idle.WaitForObjectOrStop(never, 5));
}

TEST(Events, ManualResetStaysSetAutoResetIsConsumedOnce) {
    KtEvent manual(true, false);
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    KtEvent automatic(false, true);
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
}

TEST(Events, WaitForAnyPrefersTheLowestSignalledIndex) {
    KtEvent first(true, true);
    KtEvent second(true, true);
    EXPECT_EQ(WaitForAnyEvent({&first, &second}, 0), 0);
    first.Reset();
    EXPECT_EQ(WaitForAnyEvent({&first, &second}, 0), 1);
    second.Reset();
    EXPECT_EQ(WaitForAnyEvent({&first, &second}, 1), -1);
}

TEST(Events, OneSetWakesExactlyOneOfManyAutoResetWaiters) {
    KtEvent event(false, false);
    KtEvent release(true, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (WaitForAnyEvent({&event, &release}, kInfinite) == 0) ++woken;
        });
    event.Set();
    // Exactly one waiter consumes the set; the others stay until released.
    while (woken.load() == 0) std::this_thread::yield();
    release.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 1);
}

}  // namespace
