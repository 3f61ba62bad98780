#include "engine/adapters.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "netns_sandbox.h"

namespace fs = std::filesystem;

namespace {

class PlantedTree {
  public:
    PlantedTree() {
        root_ = fs::temp_directory_path() /
                ("lw-adapters-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(root_);
    }
    ~PlantedTree() {
        std::error_code error;
        fs::remove_all(root_, error);
    }
    AdapterSources Sources() const { return {(root_ / "net").string(), (root_ / "udev").string()}; }
    void Interface(const std::string& name, int type, int ifindex) {
        Write("net/" + name + "/type", std::to_string(type));
        Write("net/" + name + "/ifindex", std::to_string(ifindex));
    }
    void Mark(const std::string& name, const std::string& entry) {
        fs::create_directories(root_ / "net" / name / entry);
    }
    void Write(const std::string& path, const std::string& text) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text << "\n";
    }

  private:
    static inline int counter_ = 0;
    fs::path root_;
};

std::vector<std::string> Names(const std::vector<AdapterEntry>& adapters) {
    std::vector<std::string> names;
    for (const AdapterEntry& adapter : adapters) names.push_back(adapter.deviceName);
    return names;
}

}  // namespace

TEST(AdapterKind, OnlyWiredEthernetCounts) {
    PlantedTree tree;
    tree.Interface("eth0", 1, 2);
    tree.Interface("wlan0", 1, 3);
    tree.Mark("wlan0", "wireless");
    tree.Interface("wlp2s0", 1, 4);
    tree.Mark("wlp2s0", "phy80211");
    tree.Interface("ppp0", 512, 5);
    tree.Interface("lo", 772, 1);
    const AdapterSources sources = tree.Sources();
    EXPECT_TRUE(IsWiredEthernetInterface(sources, "eth0"));
    EXPECT_FALSE(IsWiredEthernetInterface(sources, "wlan0"));
    EXPECT_FALSE(IsWiredEthernetInterface(sources, "wlp2s0"));
    EXPECT_FALSE(IsWiredEthernetInterface(sources, "ppp0"));
    EXPECT_FALSE(IsWiredEthernetInterface(sources, "lo"));
    EXPECT_FALSE(IsWiredEthernetInterface(sources, "missing0"));
    EXPECT_FALSE(IsWiredEthernetInterface(sources, "../net/eth0"));
}

TEST(AdapterDescription, TakesUdevsModelElseTheName) {
    PlantedTree tree;
    tree.Interface("eth0", 1, 2);
    tree.Interface("eth1", 1, 3);
    tree.Write("udev/n2",
               "I:123\nE:ID_VENDOR_FROM_DATABASE=Intel Corporation\n"
               "E:ID_MODEL_FROM_DATABASE=82540EM Gigabit Ethernet Controller");
    EXPECT_EQ(AdapterDescription(tree.Sources(), "eth0"),
              "82540EM Gigabit Ethernet Controller (eth0)");
    EXPECT_EQ(AdapterDescription(tree.Sources(), "eth1"), "eth1");
}

TEST(AdapterDescription, IsEscapedAndCut) {
    PlantedTree tree;
    tree.Interface("eth0", 1, 2);
    tree.Write("udev/n2", "E:ID_MODEL_FROM_DATABASE=Evil\x1b[2J" + std::string(200, 'x'));
    const std::string description = AdapterDescription(tree.Sources(), "eth0");
    EXPECT_EQ(description.size(), kMaxAdapterDescription);
    EXPECT_EQ(description.find('\x1b'), std::string::npos);
    EXPECT_TRUE(description.starts_with("Evil\\x1b[2J"));
}

namespace {

class AdapterListInNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = NetnsSandbox::SkipReason();
        if (!reason.empty()) GTEST_SKIP() << reason;
        ASSERT_TRUE(sandbox_.ok());
        a_ = "lwa" + sandbox_.Tag();
        b_ = "lwb" + sandbox_.Tag();
        c_ = "lwc" + sandbox_.Tag();
        d_ = "lwd" + sandbox_.Tag();
        ASSERT_TRUE(sandbox_.AddVethPair(a_, "02:4c:57:30:00:0a", b_, "02:4c:57:30:00:0b"));
        ASSERT_TRUE(sandbox_.AddVethPair(c_, "02:4c:57:30:00:0c", d_, "02:4c:57:30:00:0d"));
    }

    NetnsSandbox sandbox_;
    std::string a_, b_, c_, d_;
};

}  // namespace

TEST_F(AdapterListInNamespace, ListsTheEthernetInterfacesWithTheirMacs) {
    ASSERT_TRUE(sandbox_.RunInside([&] {
        const std::vector<AdapterEntry> adapters = ListEthernetAdapters();
        std::vector<std::string> names = Names(adapters);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{a_, b_, c_, d_}));
        for (const AdapterEntry& adapter : adapters) {
            const uint8_t last = static_cast<uint8_t>(0x0a + (adapter.deviceName[2] - 'a'));
            EXPECT_EQ(adapter.mac, (MacAddress{0x02, 0x4c, 0x57, 0x30, 0x00, last}))
                << adapter.deviceName;
            EXPECT_EQ(adapter.description, adapter.deviceName);
        }
    }));
}

TEST_F(AdapterListInNamespace, LeavesOutWirelessAndOtherMedia) {
    ASSERT_TRUE(sandbox_.RunInside([&] {
        // The real interfaces, described by a planted tree: one wireless, one
        // with a phy, one of another medium.
        PlantedTree tree;
        for (const std::string& name : {a_, b_, c_, d_}) {
            std::ifstream index("/sys/class/net/" + name + "/ifindex");
            int ifindex = 0;
            index >> ifindex;
            tree.Interface(name, 1, ifindex);
        }
        tree.Mark(a_, "wireless");
        tree.Mark(b_, "phy80211");
        tree.Interface(c_, 776, 99);
        tree.Interface("lo", 772, 1);
        EXPECT_EQ(Names(ListEthernetAdapters(tree.Sources())), std::vector<std::string>{d_});
    }));
}
