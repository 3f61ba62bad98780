#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
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

// Samba's own reading of the file: testparm's lines, and one [global] value.
std::vector<std::string> TestparmLines(const std::string& file) {
    std::vector<std::string> lines;
    std::istringstream output(
        setupaid_test::Shell("testparm -s '" + file + "' 2>/dev/null").output);
    for (std::string line; std::getline(output, line);) lines.push_back(line);
    return lines;
}
std::string SambaValue(const std::string& file, const std::string& parameter) {
    const std::string value =
        setupaid_test::Shell("testparm -s --section-name=global '--parameter-name=" + parameter +
                             "' '" + file + "' 2>/dev/null")
            .output;
    return value.substr(0, value.find('\n'));
}

// What testparm shows after the call and not before (+), and before and not
// after (-), in that order.
std::vector<std::string> Difference(const std::vector<std::string>& before,
                                    const std::vector<std::string>& after) {
    std::vector<std::string> changes;
    for (const std::string& line : after) {
        if (std::find(before.begin(), before.end(), line) == before.end())
            changes.push_back("+" + line);
    }
    for (const std::string& line : before) {
        if (std::find(after.begin(), after.end(), line) == after.end())
            changes.push_back("-" + line);
    }
    return changes;
}

class NicEnableSamba : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "writing Samba's configuration needs root";
        if (!setupaid::SystemCommandRunner().Has("testparm")) GTEST_SKIP() << "needs testparm";
    }
    TestRoot root_;
};

TEST_F(NicEnableSamba, ServingEveryInterfaceNarrowsNothing) {
    InstallSamba(root_,
                 "[global]\n   workgroup = LAB\n   disable netbios = yes\n"
                 "[share]\n   path = /srv\n");
    const std::vector<std::string> before = TestparmLines(root_ / kConfig);

    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_DONE);
    // Only NetBIOS changed: no interface list, nothing bound to one.
    EXPECT_EQ(Difference(before, TestparmLines(root_ / kConfig)),
              std::vector<std::string>{"-\tdisable netbios = Yes"});
    EXPECT_EQ(SambaValue(root_ / kConfig, "interfaces"), "");
    EXPECT_EQ(SambaValue(root_ / kConfig, "bind interfaces only"), "No");
    // systemctl enabled the name daemon below the root, for every boot.
    EXPECT_TRUE(std::filesystem::is_symlink(root_ / kEnabledLink));

    // Another adapter, or the same again, changes nothing more.
    const std::string config = root_.Read(kConfig);
    EXPECT_EQ(EnableNetbios("eth1"), SETUPAID_DONE);
    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_DONE);
    EXPECT_EQ(root_.Read(kConfig), config);
}

TEST_F(NicEnableSamba, AnExistingListGainsTheAdapterAndNothingElse) {
    InstallSamba(root_,
                 "[global]\n   workgroup = LAB\n   interfaces = lo eth1\n"
                 "   bind interfaces only = no\n[share]\n   path = /srv\n");
    const std::vector<std::string> before = TestparmLines(root_ / kConfig);

    EXPECT_EQ(EnableNetbios("eth0"), SETUPAID_DONE);
    EXPECT_EQ(
        Difference(before, TestparmLines(root_ / kConfig)),
        (std::vector<std::string>{"+\tinterfaces = lo eth1 eth0", "-\tinterfaces = lo eth1"}));
    EXPECT_EQ(SambaValue(root_ / kConfig, "bind interfaces only"), "No");

    const std::string config = root_.Read(kConfig);
    EXPECT_EQ(EnableNetbios("eth1"), SETUPAID_DONE);
    EXPECT_EQ(root_.Read(kConfig), config);
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
