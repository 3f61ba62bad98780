#include "core/threads/functors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

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

TEST(SafeFunctors, TheLastSharedHolderDestroysTheConcreteFunctor) {
    static int destroyed;
    destroyed = 0;
    struct Counted : Target {};
    Counted target;
    struct Probe final : KtUnaryMemberFunctionSafe<Counted, void, int> {
        ~Probe() override { ++destroyed; }
        void Invoke(int) override {}
        void Call(int) override {}
    };
    SafeNotification first = std::make_shared<Probe>();
    SafeNotification second = first;
    first.reset();
    EXPECT_EQ(destroyed, 0);
    second.reset();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
