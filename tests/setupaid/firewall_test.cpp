#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "setupaid/setupaid.h"
#include "setupaid/setupaid_test_support.h"

namespace {

using setupaid_test::FirewallNamespace;
using setupaid_test::PrivateSystemBus;
using setupaid_test::RecordingRunner;
using setupaid_test::TestRoot;

const std::string kTcpTag = "linewatch-setupaid: Samba TCP";
const std::string kUdpTag = "linewatch-setupaid: Samba UDP";

int AllowSamba() {
    return SetupFirewall("Line Watchman", "/usr/bin/linewatch");
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The firewall the boot file loads: an input chain that drops what it does
// not know, beside a chain on another hook.
constexpr const char* kBootTables =
    "table inet filter {\n"
    "  chain input { type filter hook input priority filter; policy drop;\n"
    "    iif lo accept comment \"loopback { braces } in a comment\"\n  }\n"
    "  chain output { type filter hook output priority filter; }\n"
    "}\n";
const std::string kBootFile = std::string("#!/usr/sbin/nft -f\nflush ruleset\n") + kBootTables;
// Tables another program adds while the machine runs, which the boot file
// does not know: one whose input chain lets everything through, one whose
// chain drops.
constexpr const char* kOpenRuntimeTable =
    "table ip runtime {\n  chain INPUT { type filter hook input priority 0; }\n}\n";
constexpr const char* kDroppingRuntimeTable =
    "table ip runtime {\n  chain INPUT { type filter hook input priority 0; policy drop; }\n}\n";

// nftables in a network namespace of its own: the library's nft commands run
// there for real.
class NftablesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
        if (!setupaid::SystemCommandRunner().Has("nft")) GTEST_SKIP() << "needs nft (nftables)";
        ASSERT_TRUE(live_.ok());
    }

    // Loads a ruleset into the namespace.
    void Load(const FirewallNamespace& space, const std::string& ruleset) {
        root_.Write("/run/ruleset.nft", "flush ruleset\n" + ruleset);
        const auto loaded = space.Nft("-f " + (root_ / "/run/ruleset.nft"));
        ASSERT_EQ(loaded.exitStatus, 0) << loaded.output;
    }
    std::string Ruleset() { return live_.Nft("list ruleset").output; }
    std::string BootFile() { return root_.Read("/etc/nftables.conf"); }
    // The ruleset a machine gets when it boots with the boot file as it is.
    std::string RulesetAtBoot() {
        FirewallNamespace booted;
        EXPECT_TRUE(booted.ok());
        const auto loaded = booted.Nft("-f " + (root_ / "/etc/nftables.conf"));
        EXPECT_EQ(loaded.exitStatus, 0) << loaded.output;
        return booted.Nft("list ruleset").output;
    }
    int SetupInside() {
        int result = -1;
        EXPECT_TRUE(live_.RunInside([&] { result = AllowSamba(); }));
        return result;
    }

    FirewallNamespace live_;
    TestRoot root_;
};

TEST_F(NftablesTest, AddsRulesNowAndForBootOnlyWhereTheyAreNeeded) {
    root_.Write("/etc/nftables.conf", kBootFile);
    Load(live_, std::string(kBootTables) + kOpenRuntimeTable);

    EXPECT_EQ(SetupInside(), SETUPAID_DONE);
    const std::string ruleset = Ruleset();
    EXPECT_NE(ruleset.find("tcp dport { 139, 445 } accept comment \"" + kTcpTag), std::string::npos)
        << ruleset;
    EXPECT_NE(ruleset.find("udp dport { 137, 138 } accept comment \"" + kUdpTag),
              std::string::npos);
    // The other program's chain lets Samba through already: left alone.
    EXPECT_EQ(Occurrences(ruleset, kTcpTag), 1u);
    EXPECT_EQ(Occurrences(ruleset, kUdpTag), 1u);
    // The boot file brings back the same filter table.
    const std::string filter = live_.Nft("list table inet filter").output;
    EXPECT_EQ(RulesetAtBoot(), filter);

    // A second call finds the work done: nothing changes, now or at boot.
    const std::string persisted = BootFile();
    EXPECT_EQ(SetupInside(), SETUPAID_DONE);
    EXPECT_EQ(Ruleset(), ruleset);
    EXPECT_EQ(BootFile(), persisted);

    // Rules lost from the running firewall come back; the boot file has them.
    Load(live_, std::string(kBootTables) + kOpenRuntimeTable);
    EXPECT_EQ(SetupInside(), SETUPAID_DONE);
    EXPECT_EQ(Ruleset(), ruleset);
    EXPECT_EQ(BootFile(), persisted);
}

TEST_F(NftablesTest, ChangesNothingWhereTheBootFileCannotKeepTheRules) {
    root_.Write("/etc/nftables.conf", kBootFile);
    Load(live_, std::string(kBootTables) + kDroppingRuntimeTable);
    const std::string before = Ruleset();

    // The dropping chain is not the boot file's: rules in it would be gone
    // after a reboot, so none go anywhere, and every call says so.
    for (int call = 0; call < 2; ++call) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(SetupInside(), SETUPAID_FAILED);
        const std::string why = testing::internal::GetCapturedStderr();
        EXPECT_NE(why.find("would not load at boot"), std::string::npos) << why;
        EXPECT_NE(why.find("nothing changed"), std::string::npos) << why;
        EXPECT_EQ(Ruleset(), before);
        EXPECT_EQ(BootFile(), kBootFile);
    }

    // No boot file at all: the same.
    std::filesystem::remove(root_ / "/etc/nftables.conf");
    Load(live_, kBootTables);
    EXPECT_EQ(SetupInside(), SETUPAID_FAILED);
    EXPECT_EQ(Occurrences(Ruleset(), "linewatch-setupaid"), 0u);
    EXPECT_FALSE(root_.Exists("/etc/nftables.conf"));
}

TEST_F(NftablesTest, AnswersForAFirewallThatLetsSambaThroughOrIsNone) {
    EXPECT_EQ(SetupInside(), SETUPAID_NOTHING_TO_DO);
    Load(live_, "table inet filter { chain output { type filter hook output priority 0; }; }\n");
    EXPECT_EQ(SetupInside(), SETUPAID_NOTHING_TO_DO);
    // An input chain that drops nothing: allowed already, nothing written.
    Load(live_, kOpenRuntimeTable);
    EXPECT_EQ(SetupInside(), SETUPAID_DONE);
    EXPECT_EQ(Occurrences(Ruleset(), "linewatch-setupaid"), 0u);
    EXPECT_FALSE(root_.Exists("/etc/nftables.conf"));
}

// The running firewall refuses the rules after the boot file took them: the
// boot file is put back as it was.
TEST(SetupFirewall, PutsTheBootFileBackWhenTheRunningFirewallRefuses) {
    if (geteuid() != 0) GTEST_SKIP() << "nftables needs root";
    TestRoot root;
    root.Write("/etc/nftables.conf", kBootFile);
    RecordingRunner runner;
    runner.answers["nft list ruleset"] = {
        true, 0,
        "table inet filter {\n\tchain input {\n\t\ttype filter hook input priority filter; "
        "policy drop;\n\t}\n}\n"};
    const std::string insert =
        "nft insert rule inet filter input tcp dport { 139, 445 } accept comment \"" + kTcpTag +
        "\" ; insert rule inet filter input udp dport { 137, 138 } accept comment \"" + kUdpTag +
        "\"";
    runner.answers[insert] = {true, 1, "Error: busy"};

    testing::internal::CaptureStderr();
    EXPECT_EQ(AllowSamba(), SETUPAID_FAILED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: busy"), std::string::npos);
    ASSERT_EQ(runner.commands.size(), 3u);
    EXPECT_EQ(runner.commands[1].rfind("nft -c -f ", 0), 0u);
    EXPECT_EQ(runner.commands[2], insert);
    EXPECT_EQ(root.Read("/etc/nftables.conf"), kBootFile);
}

TEST(SetupFirewall, AddsSambaToFirewalldForNowAndLater) {
    TestRoot root;
    PrivateSystemBus bus(root.Path());
    ASSERT_TRUE(bus.Running());
    ASSERT_TRUE(bus.StartServices({"--firewalld"}));
    RecordingRunner runner;

    EXPECT_EQ(AllowSamba(), SETUPAID_DONE);
    EXPECT_EQ(bus.Log(), "runtime public samba 0\npermanent public samba\n");
    EXPECT_EQ(AllowSamba(), SETUPAID_DONE);
    EXPECT_EQ(bus.Log(), "runtime public samba 0\npermanent public samba\n");
    // firewalld runs: no other firewall is touched.
    EXPECT_TRUE(runner.commands.empty());
}

TEST(SetupFirewall, AnswersFirewalldsRefusalAndKnownSamba) {
    TestRoot root;
    {
        PrivateSystemBus bus(root.Path());
        ASSERT_TRUE(bus.StartServices({"--firewalld", "--firewalld-deny"}));
        EXPECT_EQ(AllowSamba(), SETUPAID_ACCESS_DENIED);
    }
    TestRoot other;
    PrivateSystemBus bus(other.Path());
    ASSERT_TRUE(bus.StartServices({"--firewalld", "--firewalld-deny", "--samba-enabled"}));
    EXPECT_EQ(AllowSamba(), SETUPAID_DONE);
    EXPECT_EQ(bus.Log(), "");
}

TEST(SetupFirewall, TakesSambaOutOfFirewalldsRuntimeWhenItCannotStay) {
    TestRoot root;
    PrivateSystemBus bus(root.Path());
    ASSERT_TRUE(bus.StartServices({"--firewalld", "--firewalld-deny-permanent"}));
    for (int call = 0; call < 2; ++call) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(AllowSamba(), SETUPAID_ACCESS_DENIED);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("taken out of the runtime one"),
                  std::string::npos);
    }
    EXPECT_EQ(bus.Log(),
              "runtime public samba 0\nruntime removed public samba\n"
              "runtime public samba 0\nruntime removed public samba\n");
}

TEST(SetupFirewall, UsesUfwWhenItIsEnabled) {
    if (geteuid() != 0) GTEST_SKIP() << "ufw needs root";
    TestRoot root;
    RecordingRunner runner;
    root.Write("/etc/ufw/ufw.conf", "# ufw\nENABLED=yes\nLOGLEVEL=low\n");
    EXPECT_EQ(AllowSamba(), SETUPAID_DONE);
    EXPECT_EQ(runner.commands,
              (std::vector<std::string>{"ufw allow 137,138/udp", "ufw allow 139,445/tcp"}));

    // With Samba's application profile installed, the profile.
    runner.commands.clear();
    root.Write("/etc/ufw/applications.d/samba", "[Samba]\nports=137,138/udp|139,445/tcp\n");
    EXPECT_EQ(AllowSamba(), SETUPAID_DONE);
    EXPECT_EQ(runner.commands, std::vector<std::string>{"ufw allow Samba"});

    runner.answers["ufw allow Samba"] = {true, 1, "ERROR"};
    EXPECT_EQ(AllowSamba(), SETUPAID_FAILED);

    // A rule that fails after one this call added: that one is deleted again;
    // one ufw had already stays.
    std::remove((root / "/etc/ufw/applications.d/samba").c_str());
    runner.commands.clear();
    runner.answers["ufw allow 137,138/udp"] = {true, 0, "Rule added\nRule added (v6)\n"};
    runner.answers["ufw allow 139,445/tcp"] = {true, 1, "ERROR: problem running"};
    EXPECT_EQ(AllowSamba(), SETUPAID_FAILED);
    EXPECT_EQ(runner.commands,
              (std::vector<std::string>{"ufw allow 137,138/udp", "ufw allow 139,445/tcp",
                                        "ufw delete allow 137,138/udp"}));
    runner.commands.clear();
    runner.answers["ufw allow 137,138/udp"] = {true, 0, "Skipping adding existing rule\n"};
    EXPECT_EQ(AllowSamba(), SETUPAID_FAILED);
    EXPECT_EQ(runner.commands.size(), 2u);

    // Installed but not enabled: ufw is passed over for nftables.
    runner.commands.clear();
    root.Write("/etc/ufw/ufw.conf", "ENABLED=no\n");
    EXPECT_EQ(AllowSamba(), SETUPAID_NOTHING_TO_DO);
    EXPECT_EQ(runner.commands, std::vector<std::string>{"nft list ruleset"});
}

TEST(SetupFirewall, AnswersForNoFirewallBadArgumentsAndOrdinaryUsers) {
    TestRoot root;
    RecordingRunner runner;
    runner.missing = {"ufw", "nft"};
    EXPECT_EQ(AllowSamba(), SETUPAID_NOTHING_TO_DO);
    runner.missing.clear();
    EXPECT_EQ(SetupFirewall("", "/usr/bin/linewatch"), SETUPAID_FAILED);
    EXPECT_EQ(SetupFirewall("Line Watchman", nullptr), SETUPAID_FAILED);
    EXPECT_TRUE(runner.commands.empty());

    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an ordinary user";
    EXPECT_EQ(setupaid_test::RunAsNobody(AllowSamba), SETUPAID_ACCESS_DENIED);
}

}  // namespace
