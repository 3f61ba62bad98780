#include "core/threads/message_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMsgA = WM_USER + 1;
constexpr uint32_t kMsgB = WM_USER + 2;

struct Recorder {
    std::vector<std::pair<uint32_t, uintptr_t>> seen;
    std::vector<std::thread::id> threads;
    MessagePort port{[this](uint32_t msg, uintptr_t w, intptr_t) {
        seen.emplace_back(msg, w);
        threads.push_back(std::this_thread::get_id());
    }};
};

TEST(MessagePort, PostedMessagesAreHandledInArrivalOrderOnDrain) {
    Recorder r;
    r.port.Post(kMsgA, 1);
    r.port.Post(kMsgB, 2);
    r.port.Post(kMsgA, 3);
    EXPECT_TRUE(r.seen.empty());
    r.port.Drain();
    ASSERT_EQ(r.seen.size(), 3u);
    EXPECT_EQ(r.seen[0], std::make_pair(kMsgA, uintptr_t{1}));
    EXPECT_EQ(r.seen[1], std::make_pair(kMsgB, uintptr_t{2}));
    EXPECT_EQ(r.seen[2], std::make_pair(kMsgA, uintptr_t{3}));
}

TEST(MessagePort, SendOnTheOwnerThreadCallsTheHandlerDirectly) {
    Recorder r;
    EXPECT_TRUE(r.port.Send(kMsgA, 5));
    ASSERT_EQ(r.seen.size(), 1u);
    EXPECT_EQ(r.threads[0], std::this_thread::get_id());
}

TEST(MessagePort, SendFromAnotherThreadBlocksUntilTheOwnerHandledIt) {
    Recorder r;
    std::atomic<bool> returned{false};
    KtEvent queued(true, false);
    r.port.SetWakeUp([&] { queued.Set(); });
    std::thread sender([&] {
        EXPECT_TRUE(r.port.Send(kMsgB, 9));
        returned = true;
    });
    queued.Wait(kInfinite);
    EXPECT_FALSE(returned.load());
    r.port.Drain();
    sender.join();
    EXPECT_TRUE(returned.load());
    ASSERT_EQ(r.seen.size(), 1u);
    EXPECT_EQ(r.threads[0], std::this_thread::get_id());
}

TEST(MessagePort, SendsAndPostsFromWorkersKeepArrivalOrder) {
    Recorder r;
    KtEvent posted(true, false);
    std::thread worker([&] {
        r.port.Post(kMsgA, 1);
        posted.Set();
        r.port.Send(kMsgB, 2);
    });
    posted.Wait(kInfinite);
    while (r.seen.size() < 2) r.port.WaitAndDrain(kInfinite);
    worker.join();
    EXPECT_EQ(r.seen[0].second, 1u);
    EXPECT_EQ(r.seen[1].second, 2u);
}

TEST(MessagePort, CloseReleasesABlockedSender) {
    Recorder r;
    KtEvent queued(true, false);
    r.port.SetWakeUp([&] { queued.Set(); });
    std::atomic<int> result{-1};
    std::thread sender([&] { result = r.port.Send(kMsgA) ? 1 : 0; });
    queued.Wait(kInfinite);
    r.port.Close();
    sender.join();
    EXPECT_EQ(result.load(), 0);
}

// A worker that reports every step by sending to its owner's port.
struct Owner {
    std::atomic<int> handled{0};
    std::atomic<int> cablePosts{0};
    MessagePort port{[this](uint32_t msg, uintptr_t, intptr_t) {
        if (msg == kMsgA) ++handled;
        if (msg == kMsgB) ++cablePosts;
    }};
    void SendReport(int value) { port.Send(kMsgA, static_cast<uintptr_t>(value)); }
};

struct Worker {
    Owner* owner;
    int Loop(KtThread& thread) {
        while (!thread.IsStopRequested()) owner->SendReport(1);
        return 0;
    }
};

TEST(MessagePort, StoppingAWorkerBlockedInASendNeverLocksUp) {
    Owner owner;
    KtEvent queued(false, false);
    owner.port.SetWakeUp([&] { queued.Set(); });
    Worker worker{&owner};

    for (int round = 0; round < 1000; ++round) {
        KtThreadClassFunction<Worker> thread;
        thread.object = &worker;
        thread.method = &Worker::Loop;
        ASSERT_TRUE(thread.CreateThread());
        // Every other round the worker is caught blocked inside its Send; the
        // others stop it at whatever point it happens to be.
        if (round % 2 == 0) queued.Wait(kInfinite);
        owner.port.StopAndWait(thread);
        EXPECT_FALSE(thread.IsRunning());
    }
    EXPECT_GT(owner.handled.load(), 0);
}

TEST(MessagePort, StopAndWaitLeavesPostedMessagesQueuedInOrder) {
    Owner owner;
    struct PostThenSend {
        Owner* owner;
        int Run(KtThread& thread) {
            owner->port.Post(kMsgB);
            owner->port.Send(kMsgA);
            thread.WaitForStop(kInfinite);
            return 0;
        }
    } body{&owner};
    KtThreadClassFunction<PostThenSend> thread;
    thread.object = &body;
    thread.method = &PostThenSend::Run;
    ASSERT_TRUE(thread.CreateThread());
    owner.port.StopAndWait(thread);
    EXPECT_EQ(owner.cablePosts.load(), 0);
    owner.port.WaitAndDrain(0);
    EXPECT_EQ(owner.cablePosts.load(), 1);
}

}  // namespace
