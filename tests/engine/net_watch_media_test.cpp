#include "engine/net_watch_media.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/threads/message_port.h"
#include "engine/engine_messages.h"
#include "engine_test_support.h"
#include "netns_sandbox.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A planted /sys/class/net with interfaces whose carrier the test sets.
class PlantedSysfs {
  public:
    PlantedSysfs() {
        root_ = fs::temp_directory_path() /
                ("lw-sysfs-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(root_);
    }
    ~PlantedSysfs() {
        std::error_code error;
        fs::remove_all(root_, error);
    }
    std::string Root() const { return root_.string(); }

    // An interface that is up, with the given carrier.
    void SetCarrier(const std::string& name, int carrier) {
        Write(name, "flags", "0x1003");
        Write(name, "carrier", std::to_string(carrier));
        Write(name, "operstate", carrier ? "up" : "down");
    }
    // An interface that is administratively down: the kernel gives no carrier.
    void SetAdministrativelyDown(const std::string& name) {
        Write(name, "flags", "0x1002");
        fs::remove(root_ / name / "carrier");
        Write(name, "operstate", "down");
    }
    // An interface that is up but has no readable carrier; operstate decides.
    void SetOnlyOperstate(const std::string& name, const std::string& operstate) {
        Write(name, "flags", "0x1003");
        fs::remove(root_ / name / "carrier");
        Write(name, "operstate", operstate);
    }
    void Remove(const std::string& name) { fs::remove_all(root_ / name); }

  private:
    void Write(const std::string& name, const std::string& attribute, const std::string& value) {
        fs::create_directories(root_ / name);
        std::ofstream(root_ / name / attribute) << value << "\n";
    }

    static inline int counter_ = 0;
    fs::path root_;
};

}  // namespace

// A watcher on the planted interface eth7, recording its notifications.
class LinkPollingOnEth7 : public ::testing::Test {
  protected:
    LinkPollingOnEth7() {
        watcher.Connect(reports);
        watcher.SetDeviceName("eth7");
    }
    PlantedSysfs sysfs;
    LinkWatchRecorder reports;
    KtNetWatchMedia watcher{sysfs.Root()};
};

TEST_F(LinkPollingOnEth7, FirstReadingIsSilentAndChangesAreReported) {
    sysfs.SetCarrier("eth7", 1);
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateConnected);
    watcher.Poll();
    sysfs.SetCarrier("eth7", 0);
    watcher.Poll();
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateDisconnected);
    sysfs.SetCarrier("eth7", 1);
    watcher.Poll();
    EXPECT_EQ(reports.cable.Values(), (std::vector<int>{kCableUnplugged, kCableConnected}));
}

TEST_F(LinkPollingOnEth7, StartingUnpluggedReportsNothingUntilConnected) {
    sysfs.SetCarrier("eth7", 0);
    watcher.Poll();
    watcher.Poll();
    EXPECT_TRUE(reports.cable.Values().empty());
    sysfs.SetCarrier("eth7", 1);
    watcher.Poll();
    EXPECT_EQ(reports.cable.Values(), std::vector<int>{kCableConnected});
}

TEST_F(LinkPollingOnEth7, MissingInterfaceOrFailedQueryMakesTheStateUnknownSilently) {
    sysfs.SetCarrier("eth7", 1);
    watcher.Poll();
    sysfs.Remove("eth7");
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateUnknown);
    // Back, but unplugged: the failed poll in between makes this silent.
    sysfs.SetCarrier("eth7", 0);
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateDisconnected);
    EXPECT_TRUE(reports.cable.Values().empty());
}

TEST_F(LinkPollingOnEth7, AdministrativelyDownIsAFailedQueryNotAnUnpluggedCable) {
    sysfs.SetCarrier("eth7", 1);
    watcher.Poll();
    sysfs.SetAdministrativelyDown("eth7");
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateUnknown);
    sysfs.SetCarrier("eth7", 1);
    watcher.Poll();
    EXPECT_TRUE(reports.cable.Values().empty());
}

TEST_F(LinkPollingOnEth7, OperstateDecidesWhenTheCarrierCannotBeRead) {
    sysfs.SetOnlyOperstate("eth7", "up");
    watcher.Poll();
    sysfs.SetOnlyOperstate("eth7", "lowerlayerdown");
    watcher.Poll();
    sysfs.SetOnlyOperstate("eth7", "dormant");
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateUnknown);
    EXPECT_EQ(reports.cable.Values(), std::vector<int>{kCableUnplugged});
}

TEST(LinkPolling, SwitchingAdapterComparesNothingAcrossThem) {
    PlantedSysfs sysfs;
    LinkWatchRecorder reports;
    KtNetWatchMedia watcher(sysfs.Root());
    watcher.Connect(reports);
    sysfs.SetCarrier("eth7", 1);
    sysfs.SetCarrier("eth8", 0);
    watcher.SetDeviceName("eth7");
    watcher.Poll();
    watcher.SetDeviceName("eth8");
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateDisconnected);
    EXPECT_TRUE(reports.cable.Values().empty());
}

TEST(LinkPolling, NamesThatLeaveTheTreeAreRefused) {
    PlantedSysfs sysfs;
    KtNetWatchMedia watcher(sysfs.Root() + "/sub");
    sysfs.SetCarrier("sub/../eth7", 1);
    watcher.SetDeviceName("../eth7");
    watcher.Poll();
    EXPECT_EQ(watcher.LinkState(), kLinkStateUnknown);
}

TEST(LinkWatcherThread, StopsPromptlyThroughTheOwnersPort) {
    PlantedSysfs sysfs;
    sysfs.SetCarrier("eth7", 1);
    MessagePort port([](uint32_t, uintptr_t, intptr_t) {});
    // A pause of a minute between polls: only an interruptible one lets
    // the stop come back well before it is over.
    KtNetWatchMedia watcher(sysfs.Root(), 60000);
    LinkWatchRecorder reports(port);
    watcher.Connect(reports);
    watcher.SetDeviceName("eth7");
    watcher.Start();
    EXPECT_TRUE(watcher.IsRunning());
    const auto before = std::chrono::steady_clock::now();
    watcher.Stop();
    EXPECT_FALSE(watcher.IsRunning());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
}

namespace {

class LinkWatcherOnVeth : public VethPairTest {
  protected:
    LinkWatcherOnVeth() : VethPairTest("02:4c:57:20:00:01", "02:4c:57:20:0a:01") {}

    // Waits (bounded) until the watcher has read the given state.
    static bool WaitForState(KtNetWatchMedia& watcher, int32_t state) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (watcher.LinkState() != state) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
};

}  // namespace

TEST_F(LinkWatcherOnVeth, PullingThePeerDownAndUpGivesOneEventEach) {
    ASSERT_TRUE(sandbox_.RunInside([&] {
        LinkWatchRecorder reports;
        KtNetWatchMedia watcher;
        watcher.Connect(reports);
        watcher.SetDeviceName(ours_);
        watcher.Start();
        ASSERT_TRUE(WaitForState(watcher, kLinkStateConnected));

        ASSERT_TRUE(sandbox_.Ip("link set " + peer_ + " down"));
        ASSERT_TRUE(reports.cable.WaitForCount(1, 10s));
        ASSERT_TRUE(sandbox_.Ip("link set " + peer_ + " up"));
        ASSERT_TRUE(reports.cable.WaitForCount(2, 10s));
        watcher.Stop();
        EXPECT_EQ(reports.cable.Values(), (std::vector<int>{kCableUnplugged, kCableConnected}));
    }));
}

TEST_F(LinkWatcherOnVeth, StartingWithThePeerDownReportsOnlyTheConnection) {
    ASSERT_TRUE(sandbox_.Ip("link set " + peer_ + " down"));
    ASSERT_TRUE(sandbox_.RunInside([&] {
        LinkWatchRecorder reports;
        KtNetWatchMedia watcher;
        watcher.Connect(reports);
        watcher.SetDeviceName(ours_);
        watcher.Start();
        ASSERT_TRUE(WaitForState(watcher, kLinkStateDisconnected));
        ASSERT_TRUE(sandbox_.Ip("link set " + peer_ + " up"));
        ASSERT_TRUE(reports.cable.WaitForCount(1, 10s));
        watcher.Stop();
        EXPECT_EQ(reports.cable.Values(), std::vector<int>{kCableConnected});
    }));
}
