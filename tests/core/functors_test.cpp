#include "core/threads/functors.h"

#include <gtest/gtest.h>

#include <atomic>

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

}  // namespace
