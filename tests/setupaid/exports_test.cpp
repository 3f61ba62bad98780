// The built library and tool as their users see them: the exported symbols,
// a C installer that loads the library by name, and setupaid-tool.

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>

#include "engine/netns_sandbox.h"
#include "setupaid/setupaid_test_support.h"

namespace {

using setupaid_test::Shell;
using setupaid_test::TestRoot;

TEST(SetupaidLibrary, ExportsExactlyTheTenFunctions) {
    const auto listing = Shell("nm -D --defined-only '" LW_SETUPAID_LIBRARY "'");
    ASSERT_EQ(listing.exitStatus, 0) << "needs nm (binutils)";
    std::set<std::string> exported;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string address;
        std::string type;
        std::string name;
        if (words >> address >> type >> name) exported.insert(name + " " + type);
    }
    EXPECT_EQ(exported,
              (std::set<std::string>{"AddPathVar T", "CloseNic T", "DisableMsgSrvc T", "EnumNic T",
                                     "NicCount T", "NicEnable T", "NicName T", "OpenNic T",
                                     "SendFeedback T", "SetupFirewall T"}));
}

// A network namespace with one addressed interface and an nftables input
// chain that drops, loaded from the boot file, where an installer runs.
class InstalledSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = NetnsSandbox::SkipReason();
        if (!reason.empty()) GTEST_SKIP() << reason;
        if (Shell("command -v nft").exitStatus != 0) GTEST_SKIP() << "needs nft (nftables)";
        ASSERT_TRUE(sandbox_.ok());
        interface_ = "lwi" + sandbox_.Tag();
        ASSERT_TRUE(
            sandbox_.Ip("link add " + interface_ + " type veth peer name lwj" + sandbox_.Tag()));
        ASSERT_TRUE(sandbox_.Ip("link set " + interface_ + " up"));
        ASSERT_TRUE(sandbox_.Ip("address add 10.78.0.1/24 dev " + interface_));
        const std::string tables =
            "table inet filter {\n chain input { type filter hook input priority 0; policy drop; "
            "}\n}\n";
        root_.Write("/etc/nftables.conf", "flush ruleset\n" + tables);
        ASSERT_EQ(Inside("nft -f " + (root_ / "/etc/nftables.conf")).exitStatus, 0);
    }

    setupaid_test::ShellResult Inside(const std::string& command) {
        return Shell("ip netns exec " + sandbox_.name() + " " + command);
    }

    NetnsSandbox sandbox_;
    TestRoot root_;
    std::string interface_;
};

TEST_F(InstalledSystemTest, AnInstallerLoadsTheLibraryAndCallsEveryExport) {
    const auto run =
        Inside("'" LW_SETUPAID_INSTALLER_CHECK "' '" LW_SETUPAID_LIBRARY "' /opt/linewatch/bin");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output,
              "EnumNic-before-OpenNic 6\n"
              "OpenNic 0\n"
              "EnumNic 0\n"
              "NicCount 1\n"
              "NicName 0 " +
                  interface_ +
                  "\n"
                  "NicName-out-of-range []\n"
                  "NicEnable-minus-one 6\n"
                  "NicEnable-count 6\n"
                  "NicEnable-0 4\n"
                  "NicCount-after-CloseNic 0\n"
                  "AddPathVar 0\n"
                  "AddPathVar-again 0\n"
                  "AddPathVar-null 6\n"
                  "SetupFirewall 0\n"
                  "SetupFirewall-again 0\n"
                  "DisableMsgSrvc 2\n"
                  "SendFeedback-no-page 0\n");
    EXPECT_NE(root_.Read("/etc/profile.d/linewatch-path.sh").find("/opt/linewatch/bin"),
              std::string::npos);
    const std::string ruleset = Inside("nft list ruleset").output;
    EXPECT_EQ(ruleset.find("Samba TCP"), ruleset.rfind("Samba TCP")) << ruleset;
    EXPECT_NE(ruleset.find("Samba TCP"), std::string::npos) << ruleset;
}

TEST_F(InstalledSystemTest, TheToolCallsEachExport) {
    const std::string tool = "'" LW_SETUPAID_TOOL "'";
    EXPECT_EQ(Inside(tool + " connections").output, "0\t" + interface_ + "\n");
    const auto enable = Inside(tool + " enable-netbios " + interface_);
    EXPECT_EQ(enable.output, "4 a needed component is not installed\n");
    EXPECT_EQ(enable.exitStatus, 4);
    EXPECT_EQ(Inside(tool + " enable-netbios 1 2>/dev/null").exitStatus, 6);
    EXPECT_EQ(Inside(tool + " setup-firewall 'Line Watchman' /usr/bin/linewatch").output,
              "0 done\n");

    const auto messenger = Shell(tool + " disable-messenger");
    EXPECT_EQ(messenger.output, "2 nothing to do, or the system part is absent\n");
    EXPECT_EQ(messenger.exitStatus, 2);
    EXPECT_EQ(Shell(tool + " add-path /opt/lw").exitStatus, 0);
    EXPECT_TRUE(root_.Exists("/etc/environment.d/60-linewatch-path.conf"));
    EXPECT_EQ(Shell(tool + " add-path 'opt/$x'").exitStatus, 6);
    EXPECT_EQ(Shell(tool + " send-feedback '' LW 1.1.7 '' '' hello").exitStatus, 0);
    const auto unknown = Shell(tool + " frobnicate 2>&1");
    EXPECT_EQ(unknown.exitStatus, 6);
    EXPECT_EQ(unknown.output.rfind("usage: setupaid-tool", 0), 0u);
}

}  // namespace
