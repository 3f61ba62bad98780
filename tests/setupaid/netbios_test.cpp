#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "setupaid/netbios_setup.h"
#include "setupaid/setupaid.h"
#include "setupaid/setupaid_test_support.h"

namespace {

using setupaid::EnableNetbios;
using setupaid_test::RecordingRunner;
using setupaid_test::TestRoot;

const std::string kConfig = "/etc/samba/smb.conf";
const std::string kUnit = "/lib/systemd/system/nmbd.service";
const std::string kEnabledLink = "/etc/systemd/system/multi-user.target.wants/nmbd.service";

// A Samba installation below the test root: its configuration and the unit
// of its NetBIOS name daemon.
void InstallSamba(const TestRoot& root, const std::string& config) {
    root.Write(kConfig, config);
    root.Write(kUnit,
               "[Unit]\nDescription=NetBIOS name server\n[Service]\nExecStart=/usr/sbin/nmbd\n"
               "[Install]\nWantedBy=multi-user.target\n");
}

// Samba's own reading of the file.
std::string Testparm(const std::string& file) {
    return setupaid_test::Shell("testparm -s '" + file + "' 2>/dev/null").output;
}

// testparm before and after: only NetBIOS and an existing interface list
// change; no list is made and nothing is bound to one. nmbd is enabled.
TEST(NicEnable, SwitchesNetbiosOnNarrowingNoInterfaces) {
    if (geteuid() != 0) GTEST_SKIP() << "writing Samba's configuration needs root";
    if (!setupaid::SystemCommandRunner().Has("testparm")) GTEST_SKIP() << "needs testparm";
    struct Case {
        std::string global;   // [global] parameters before
        std::string changed;  // what testparm shows of them before the call
        std::string after;    // and after it
    };
    for (const Case& c : {Case{"disable netbios = yes\n", "\tdisable netbios = Yes\n", ""},
                          Case{"interfaces = lo eth1\n", "\tinterfaces = lo eth1\n",
                               "\tinterfaces = lo eth1 eth0\n"}}) {
        TestRoot root;
        InstallSamba(root, "[global]\n" + c.global + "workgroup = LAB\n[share]\npath = /srv\n");
        std::string expected = Testparm(root / kConfig);
        ASSERT_NE(expected.find(c.changed), std::string::npos) << expected;
        expected.replace(expected.find(c.changed), c.changed.size(), c.after);

        EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_DONE);
        EXPECT_EQ(Testparm(root / kConfig), expected);
        EXPECT_TRUE(std::filesystem::is_symlink(root / kEnabledLink));
        // The same adapter again changes nothing.
        const std::string config = root.Read(kConfig);
        EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_DONE);
        EXPECT_EQ(root.Read(kConfig), config);
    }
}

TEST(NicEnable, LeavesAConfigurationTestparmRejectsAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "writing Samba's configuration needs root";
    if (!setupaid::SystemCommandRunner().Has("testparm")) GTEST_SKIP() << "needs testparm";
    TestRoot root;
    const std::string broken = "[global\n   workgroup = LAB\n";
    InstallSamba(root, broken);
    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_FAILED);
    EXPECT_EQ(root.Read(kConfig), broken);
    // No temporary file is left beside it.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root / "/etc/samba")) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST(NicEnable, AnswersForAbsentSambaOrAnOrdinaryUser) {
    TestRoot root;
    RecordingRunner runner;
    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_NOT_AVAILABLE);
    root.Write(kConfig, "[global]\n");
    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_NOT_AVAILABLE);  // no nmbd
    InstallSamba(root, "[global]\n");
    runner.missing = {"testparm"};
    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_NOT_AVAILABLE);
    runner.missing.clear();

    // Names Samba's interface list cannot hold are refused.
    EXPECT_EQ(EnableNetbios("eth0 eth1"), SETUPAID_FAILED);
    EXPECT_EQ(EnableNetbios("a,b"), SETUPAID_FAILED);
    EXPECT_TRUE(runner.commands.empty());

    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an ordinary user";
    EXPECT_EQ(setupaid_test::RunAsNobody([] { return EnableNetbios("eth0"); }),
              SETUPAID_ACCESS_DENIED);
    EXPECT_EQ(root.Read(kConfig), "[global]\n");
}

TEST(NicEnable, UsesNetConfWhenSambaKeepsItsSettingsInItsRegistry) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    TestRoot root;
    InstallSamba(root, "[global]\n   config backend = registry\n");
    RecordingRunner runner;
    const std::string net = "net --configfile=" + (root / kConfig) + " conf ";
    runner.answers[net + "getparm global disable netbios"] = {true, 255, ""};  // not set
    runner.answers[net + "getparm global interfaces"] = {true, 0, "eth1\n"};

    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_DONE);
    EXPECT_EQ(runner.commands,
              (std::vector<std::string>{
                  net + "getparm global disable netbios", net + "getparm global interfaces",
                  net + "setparm global disable netbios no",
                  net + "setparm global interfaces eth1 eth0", "testparm -s " + (root / kConfig),
                  "systemctl --root=" + root.Path() + " enable nmbd.service"}));
    EXPECT_EQ(runner.argvs[3].back(), "eth1 eth0");
    EXPECT_EQ(root.Read(kConfig), "[global]\n   config backend = registry\n");
}

}  // namespace
