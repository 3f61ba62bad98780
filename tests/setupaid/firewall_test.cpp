#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/netns_sandbox.h"
#include "setupaid/firewall_setup.h"
#include "setupaid/setupaid.h"
#include "setupaid/setupaid_test_support.h"

namespace {

using setupaid::SetupSambaFirewall;
using setupaid_test::PrivateSystemBus;
using setupaid_test::RecordingRunner;
using setupaid_test::Shell;
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

// Two input chains (an nftables one and one of iptables-nft's shape), a
// chain on another hook, and the boot file that loads the same ruleset.
constexpr const char* kRuleset =
    "table inet filter {\n"
    "  chain input { type filter hook input priority filter; policy drop;\n"
    "    iif lo accept comment \"loopback { braces } in a comment\"\n  }\n"
    "  chain output { type filter hook output priority filter; }\n"
    "}\n"
    "table ip legacy {\n  chain INPUT { type filter hook input priority 0; }\n}\n";

// nftables in a network namespace of its own: the library's nft commands run
// there for real.
class NftablesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = NetnsSandbox::SkipReason();
        if (!reason.empty()) GTEST_SKIP() << reason;
        if (!setupaid::SystemCommandRunner().Has("nft")) GTEST_SKIP() << "needs nft (nftables)";
        ASSERT_TRUE(sandbox_.ok());
    }

    std::string Nft(const std::string& arguments, int* exitStatus = nullptr) {
        const auto result =
            Shell("ip netns exec " + sandbox_.name() + " nft " + arguments + " 2>&1");
        if (exitStatus != nullptr) *exitStatus = result.exitStatus;
        return result.output;
    }
    int SetupInside(const char* name = "Line Watchman") {
        int result = -1;
        EXPECT_TRUE(
            sandbox_.RunInside([&] { result = SetupSambaFirewall(name, "/usr/bin/linewatch"); }));
        return result;
    }

    NetnsSandbox sandbox_;
    TestRoot root_;
};

TEST_F(NftablesTest, InsertsTaggedRulesOnceAndPersistsThem) {
    root_.Write("/etc/nftables.conf",
                std::string("#!/usr/sbin/nft -f\nflush ruleset\n") + kRuleset);
    root_.Write("/run/ruleset.nft", kRuleset);
    int loaded = -1;
    Nft("-f " + (root_ / "/run/ruleset.nft"), &loaded);
    ASSERT_EQ(loaded, 0);

    EXPECT_EQ(SetupInside(), SETUPAID_DONE);
    const std::string ruleset = Nft("list ruleset");
    EXPECT_EQ(Occurrences(ruleset, kTcpTag), 2u) << ruleset;
    EXPECT_EQ(Occurrences(ruleset, kUdpTag), 2u);
    EXPECT_NE(ruleset.find("tcp dport { 139, 445 } accept comment \"" + kTcpTag),
              std::string::npos);
    EXPECT_NE(ruleset.find("udp dport { 137, 138 } accept comment \"" + kUdpTag),
              std::string::npos);

    // A second call adds nothing, now or at boot.
    const std::string persisted = root_.Read("/etc/nftables.conf");
    EXPECT_EQ(SetupInside(), SETUPAID_DONE);
    EXPECT_EQ(Nft("list ruleset"), ruleset);
    EXPECT_EQ(root_.Read("/etc/nftables.conf"), persisted);

    // The boot file is valid and brings the rules back after a flush.
    int valid = -1;
    EXPECT_EQ(Nft("-c -f " + (root_ / "/etc/nftables.conf"), &valid), "");
    EXPECT_EQ(valid, 0);
    Nft("flush ruleset");
    Nft("-f " + (root_ / "/etc/nftables.conf"), &loaded);
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(Occurrences(Nft("list ruleset"), kTcpTag), 2u);
}

TEST_F(NftablesTest, AnswersNothingToDoWithoutAnInputChain) {
    EXPECT_EQ(SetupInside(), SETUPAID_NOTHING_TO_DO);
    root_.Write("/run/ruleset.nft",
                "table inet filter { chain output { type filter hook output priority 0; }; }\n");
    Nft("-f " + (root_ / "/run/ruleset.nft"));
    EXPECT_EQ(SetupInside(), SETUPAID_NOTHING_TO_DO);
    EXPECT_EQ(Occurrences(Nft("list ruleset"), "linewatch-setupaid"), 0u);
}

TEST_F(NftablesTest, KeepsABootFileTheRulesDoNotFit) {
    // The boot file knows none of the running chains: appending our rules
    // would break it, so it stays as it is and the call fails.
    root_.Write("/etc/nftables.conf", "#!/usr/sbin/nft -f\nflush ruleset\n");
    root_.Write("/run/ruleset.nft", kRuleset);
    Nft("-f " + (root_ / "/run/ruleset.nft"));
    EXPECT_EQ(SetupInside(), SETUPAID_FAILED);
    EXPECT_EQ(root_.Read("/etc/nftables.conf"), "#!/usr/sbin/nft -f\nflush ruleset\n");
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
