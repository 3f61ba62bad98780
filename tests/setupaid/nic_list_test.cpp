#include "setupaid/nic_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/netns_sandbox.h"
#include "setupaid/setupaid.h"
#include "setupaid/setupaid_test_support.h"

namespace {

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

using setupaid_test::PrivateSystemBus;
using setupaid_test::TestRoot;

// Interfaces in a network namespace of their own: two veth pairs, one end
// with an IPv4 address, its peer with only an IPv6 address, the other pair
// without addresses, and loopback.
class NicListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = NetnsSandbox::SkipReason();
        if (!reason.empty()) GTEST_SKIP() << reason;
        ASSERT_TRUE(sandbox_.ok());
        ipv4_ = "lwd" + sandbox_.Tag() + "a";
        ipv6_ = "lwd" + sandbox_.Tag() + "b";
        ASSERT_TRUE(sandbox_.Ip("link add " + ipv4_ + " type veth peer name " + ipv6_));
        ASSERT_TRUE(sandbox_.Ip("link add lwd" + sandbox_.Tag() + "c type veth peer name lwd" +
                                sandbox_.Tag() + "d"));
        for (const char* end : {"a", "b", "c", "d"}) {
            ASSERT_TRUE(sandbox_.Ip("link set lwd" + sandbox_.Tag() + end + " up"));
        }
        ASSERT_TRUE(sandbox_.Ip("link set lo up"));
        ASSERT_TRUE(sandbox_.Ip("address add 10.77.0.1/24 dev " + ipv4_));
        ASSERT_TRUE(sandbox_.Ip("-6 address add fd00:77::1/64 dev " + ipv6_ + " nodad"));
    }

    // The names EnumNic lists inside the namespace, after the given result
    // codes of OpenNic and EnumNic.
    std::vector<std::string> Listed(int& openResult, int& enumResult) {
        std::vector<std::string> names;
        EXPECT_TRUE(sandbox_.RunInside([&] {
            openResult = OpenNic();
            enumResult = EnumNic();
            for (int i = 0; i < NicCount(); ++i) names.emplace_back(NicName(i));
        }));
        return names;
    }

    NetnsSandbox sandbox_;
    std::string ipv4_;
    std::string ipv6_;
};

TEST_F(NicListTest, ListsAddressedInterfacesByNameWithoutNetworkManager) {
    TestRoot root;  // the system bus points nowhere
    int opened = -1;
    int listed = -1;
    EXPECT_EQ(Sorted(Listed(opened, listed)), (std::vector<std::string>{ipv4_, ipv6_}));
    EXPECT_EQ(opened, SETUPAID_DONE);
    EXPECT_EQ(listed, SETUPAID_DONE);

    // Listing again lists each connection once.
    EXPECT_TRUE(sandbox_.RunInside([] { EXPECT_EQ(EnumNic(), SETUPAID_DONE); }));
    EXPECT_EQ(NicCount(), 2);
    EXPECT_STREQ(NicName(2), "");
    EXPECT_STREQ(NicName(-1), "");

    // An index out of range never reaches Samba; a listed one does, and
    // Samba is absent below the test root.
    EXPECT_EQ(NicEnable(NicCount()), SETUPAID_FAILED);
    EXPECT_EQ(NicEnable(0), SETUPAID_NOT_AVAILABLE);
    CloseNic();
    EXPECT_EQ(NicCount(), 0);
}

TEST_F(NicListTest, NamesConnectionsAsNetworkManagerDoes) {
    TestRoot root;
    PrivateSystemBus bus(root.Path());
    ASSERT_TRUE(bus.Running());
    // 11 + 60 bytes: cut at 64 bytes, back to the last whole character.
    std::string euros;
    for (int i = 0; i < 20; ++i) euros += "\xE2\x82\xAC";
    const std::string longName = "Verbindung " + euros;
    ASSERT_TRUE(bus.StartServices(
        {"--nm-devices", "{\"" + ipv4_ + "\": \"" + longName + "\", \"" + ipv6_ + "\": null}"}));
    int opened = -1;
    int listed = -1;
    // A device without an active connection is named by its interface.
    const std::vector<std::string> names = Sorted(Listed(opened, listed));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "Verbindung " + euros.substr(0, 51));
    EXPECT_EQ(names[0].size(), 62u);
    EXPECT_EQ(names[1], ipv6_);
    CloseNic();
}

}  // namespace
