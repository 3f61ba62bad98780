#include "core/threads/functors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/threads/event.h"

namespace {

struct Target {
    std::atomic<int> calls{0};
    std::atomic<int> last{0};
    void Record(int value) {
        last = value;
        ++calls;
    }
    void Ping() { ++calls; }
};

using SafeNotification = std::shared_ptr<KtUnaryFunctionSafe<void, int>>;

TEST(Functors, PlainFormsReachTheirTargetThroughInvokeAndCall) {
    Target target;
    KtVoidUnaryMemberFunction<Target, int> unary(&target, &Target::Record);
    unary.Invoke(7);
    unary.Call(9);
    EXPECT_EQ(target.calls, 2);
    EXPECT_EQ(target.last, 9);

    KtVoidNullaryMemberFunction<Target> nullary(&target, &Target::Ping);
    nullary.Call();
    EXPECT_EQ(target.calls, 3);
}

TEST(SafeFunctors, ACallAfterUnbindDoesNothing) {
    Target target;
    auto concrete =
        std::make_shared<KtVoidUnaryMemberFunctionSafe<Target, int>>(&target, &Target::Record);
    SafeNotification notification = concrete;
    notification->Invoke(1);
    concrete->Unbind();
    notification->Invoke(2);
    notification->Call(3);
    EXPECT_EQ(target.calls, 1);
    EXPECT_EQ(target.last, 1);
}

TEST(SafeFunctors, UnbindWaitsForCallsInProgressFromSeveralWorkers) {
    Target target;
    auto concrete =
        std::make_shared<KtVoidUnaryMemberFunctionSafe<Target, int>>(&target, &Target::Record);
    KtEvent go(true, false);
    std::atomic<bool> quit{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
        SafeNotification held = concrete;  // each worker holds its own copy
        workers.emplace_back([held, &go, &quit] {
            go.Wait(kInfinite);
            while (!quit.load()) held->Invoke(1);
        });
    }
    go.Set();
    while (target.calls.load() < 1000) std::this_thread::yield();
    concrete->Unbind();
    // Unbind returned: no call is in progress and none can reach the target.
    const int afterUnbind = target.calls.load();
    const int more = afterUnbind + 1;
    for (int i = 0; i < more; ++i) concrete->Invoke(1);
    quit = true;
    for (auto& t : workers) t.join();
    EXPECT_EQ(target.calls.load(), afterUnbind);
}

// What Unbind promises the owner: it waits for a call in progress, and once it
// has returned no call reaches the target, so the owner may destroy the target
// while workers still hold the functor. The last holder, here a worker, then
// destroys the concrete functor through the abstract type it was held as from
// the start (with a non-virtual destructor that delete is undefined, and
// AddressSanitizer reports it as a new-delete type mismatch).
TEST(SafeFunctors, UnbindLetsTheOwnerDestroyTheTargetWhileWorkersStillHoldTheFunctor) {
    static_assert(std::has_virtual_destructor_v<KtUnaryFunctionSafe<void, int>>,
                  "the last holder releases the functor through the abstract type");
    struct Shared {
        KtEvent entered{true, false};
        KtEvent release{true, false};
        KtEvent ownerDone{true, false};
        std::atomic<bool> unbound{false};
        std::atomic<bool> unboundDuringCall{false};
        std::atomic<int> calls{0};
    } shared;
    struct Window {
        Shared* shared;
        void Report(int value) {
            if (value == 1) {
                shared->entered.Set();
                shared->release.Wait(kInfinite);
                shared->unboundDuringCall = shared->unbound.load();
            }
            ++shared->calls;
        }
    };
    auto window = std::make_unique<Window>(Window{&shared});
    auto* concrete = new KtVoidUnaryMemberFunctionSafe<Window, int>(window.get(), &Window::Report);
    SafeNotification owner(static_cast<KtUnaryFunctionSafe<void, int>*>(concrete));
    const std::weak_ptr<KtUnaryFunctionSafe<void, int>> watch = owner;

    std::thread worker([held = owner, &shared]() mutable {
        held->Invoke(1);  // blocks inside the call until released
        shared.ownerDone.Wait(kInfinite);
        held->Invoke(2);
        held->Call(3);
        held.reset();  // the last holder
    });
    shared.entered.Wait(kInfinite);
    std::thread unbinder([&] {
        concrete->Unbind();
        shared.unbound = true;
    });
    // Gives Unbind time to reach the lock while the call is still inside; a
    // slow machine can only make this check weaker, never fail it wrongly.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    shared.release.Set();
    unbinder.join();
    // Any later call that reached the destroyed window would be a use after
    // free, which AddressSanitizer reports.
    window.reset();
    owner.reset();
    EXPECT_FALSE(watch.expired()) << "the worker still holds the functor";
    shared.ownerDone.Set();
    worker.join();

    EXPECT_FALSE(shared.unboundDuringCall) << "Unbind returned while a call was in progress";
    EXPECT_EQ(shared.calls, 1) << "a call after Unbind reached the target";
    EXPECT_TRUE(watch.expired());
}

}  // namespace
