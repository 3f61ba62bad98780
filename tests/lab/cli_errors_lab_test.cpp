// linewatch-cli's refusals and its runs as an ordinary user: a missing
// adapter, a user without the right to the capture helper, captures through
// the helper, and the option checks that need no lab.

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "lab/cli_run.h"
#include "test_support.h"

namespace lwlab {
namespace {

using namespace std::chrono_literals;

TEST_F(CliLabTest, MissingAdapterIsExplainedWithExitStatus1) {
    CliRun cli({"-i", "lwnosuch0"});
    EXPECT_EQ(cli.Wait(10s), 1);
    EXPECT_NE(cli.Text().find("no Ethernet adapter named 'lwnosuch0'"), std::string::npos)
        << cli.Text();
}

#ifdef LW_CAPTURE_HELPER_BUILD
// A copy of the built capture helper in a folder of its own, for runs as an
// ordinary user: `mode` and, when `grant`, cap_net_raw+p as the package
// installs it.
class HelperCopy {
  public:
    HelperCopy(mode_t mode, bool grant) {
        std::filesystem::permissions(folder_.Path(), std::filesystem::perms(0755));
        std::filesystem::copy_file(LW_CAPTURE_HELPER_BUILD, Path());
        chmod(Path().c_str(), mode);
        if (grant) granted_ = RunProgram({"setcap", "cap_net_raw+p", Path()}) == 0;
    }
    std::string Path() const { return folder_.File("linewatch-capture"); }
    bool Granted() const { return granted_; }

  private:
    TempFolder folder_;
    bool granted_ = false;
};

// setpriv as nobody: no groups, no capabilities of its own.
std::vector<std::string> AsNobody(const std::string& helper, std::vector<std::string> args) {
    std::vector<std::string> argv = {"ip",
                                     "netns",
                                     "exec",
                                     std::string(kMonitorNamespace),
                                     "env",
                                     "LW_CAPTURE_HELPER=" + helper,
                                     "setpriv",
                                     "--reuid=65534",
                                     "--regid=65534",
                                     "--clear-groups",
                                     "--inh-caps=-all",
                                     CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// A user who may not run the helper (its group is not theirs) is told to
// join the group.
TEST_F(CliLabTest, MissingCapturePermissionIsExplainedWithExitStatus1) {
    if (!ProgramExists("setpriv")) GTEST_SKIP() << "needs setpriv (util-linux) to drop root";
    HelperCopy helper(0750, false);
    CliRun cli(AsNobody(helper.Path(), {"-i", MonitorInterface()}), true);
    EXPECT_EQ(cli.Wait(10s), 1);
    EXPECT_NE(cli.Text().find("membership of the linewatch group"), std::string::npos)
        << cli.Text();
    EXPECT_NE(cli.Text().find("sudo usermod -aG linewatch nobody"), std::string::npos)
        << cli.Text();
}

// An ordinary user captures through the helper: the round-trip times come
// from the helper's capture timestamps and match the wire as closely as in
// process.
TEST_F(CliLabTest, ThroughTheCaptureHelperRttMatchesTheWire) {
    if (!ProgramExists("setpriv") || !ProgramExists("setcap"))
        GTEST_SKIP() << "needs setpriv and setcap";
    HelperCopy helper(0755, true);
    ASSERT_TRUE(helper.Granted());
    TempFolder logs;
    std::filesystem::permissions(logs.Path(), std::filesystem::perms(0777));
    std::filesystem::permissions(Stores(), std::filesystem::perms(0777));
    const std::string capture = logs.Path() + "/wire.pcap";
    ASSERT_EQ(Lab({"capture-start", capture}), 0);
    CliRun cli(
        AsNobody(helper.Path(), {"-i", MonitorInterface(), "--interval", "1", "--wait", "300",
                                 "--cycles", "3", "--log-dir", logs.Path(), "--ac-log"}),
        true);
    ASSERT_EQ(cli.Wait(20s), 0) << cli.Text();
    ASSERT_EQ(Lab({"capture-stop"}), 0);
    ASSERT_NE(FindRow(cli.Tables().back(), kAc1Text, "LabAC-One"), nullptr) << cli.Text();
    ASSERT_NE(FindRow(cli.Tables().back(), kAc2Text, "LabAC-Two"), nullptr) << cli.Text();

    std::vector<long long> probes;
    std::vector<double> wireRtts;  // AC 1, ms
    for (const CapturedFrame& frame : ReadCapture(capture)) {
        if (frame.code == 0x09) probes.push_back(frame.ns);
        if (frame.code == 0x07 && frame.source == "02:4c:57:00:0a:01" && !probes.empty())
            wireRtts.push_back(static_cast<double>(frame.ns - probes.back()) / 1e6);
    }
    const std::string text = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    std::vector<double> loggedRtts;
    const std::regex reply(R"(PADO reply: len \d+ bytes, time (\d+\.\d{3}) ms)");
    for (std::sregex_iterator it(text.begin(), text.end(), reply), end; it != end; ++it)
        loggedRtts.push_back(std::stod((*it)[1]));
    ASSERT_EQ(loggedRtts.size(), 3u) << text;
    ASSERT_EQ(loggedRtts.size(), wireRtts.size()) << text;
    for (size_t i = 0; i < loggedRtts.size(); ++i) {
        std::printf("[ FIGURE   ] through the helper: RTT logged %.3f ms, on the wire %.6f ms\n",
                    loggedRtts[i], wireRtts[i]);
        EXPECT_NEAR(loggedRtts[i], wireRtts[i], 0.002);
    }
}
#endif

// Option checking needs no lab and no root: bad values are refused before
// any adapter is looked at.
TEST(CliOptions, ValuesOutsideTheSettingsRangesAreRefusedWithExitStatus2) {
    const std::vector<std::vector<std::string>> refused = {
        {"--interval", "0"},
        {"--interval", "3601"},
        {"--interval", "1x"},
        {"--wait", "99"},
        {"--wait", "1001"},
        {"--down-after", "0"},
        {"--down-after", "101"},
        {"--cycles", "0"},
        {"--source-mac", "0:11:22:33:44:55"},
        {"--source-mac", "00-11-22-33-44-55"},
        {"--source-mac", "zz:11:22:33:44:55"},
        {"--interval"},
        {"--bogus"},
        {"extra"},
        {"--metrics", "localhost:9813"},
        {"--metrics", ":9813"},
        {"--metrics", "65536"},
        {"-i", "lwmon0", "-i", "lwmon0"},
    };
    for (const auto& args : refused) {
        std::vector<std::string> argv = {CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string output;
        EXPECT_EQ(RunProgram(argv, &output), 2) << args[0];
        EXPECT_NE(output.find("linewatch-cli: "), std::string::npos) << output;
        EXPECT_NE(output.find("Try 'linewatch-cli --help'"), std::string::npos) << output;
    }
}

// A group (multicast, broadcast) or all-zero source MAC is refused with a
// reason of its own; a unicast one is taken.
TEST(CliOptions, GroupAndZeroSourceMacsAreRefusedWithExitStatus2) {
    for (const char* mac :
         {"ff:ff:ff:ff:ff:ff", "01:00:5e:00:00:01", "33:33:00:00:00:01", "00:00:00:00:00:00"}) {
        std::string output;
        EXPECT_EQ(RunProgram({CliPath(), "--source-mac", mac}, &output), 2) << mac;
        EXPECT_NE(output.find("--source-mac must be a unicast address, not a group (multicast or "
                              "broadcast) or all-zero one, got '" +
                              std::string(mac) + "'"),
                  std::string::npos)
            << output;
    }
    std::string output;
    RunProgram({CliPath(), "--source-mac", "fe:ff:ff:ff:ff:ff", "-i", "lwnosuch0"}, &output);
    EXPECT_EQ(output.find("--source-mac"), std::string::npos) << output;
}

TEST(CliOptions, HelpListsEveryOptionAndExitsWith0) {
    std::string output;
    EXPECT_EQ(RunProgram({CliPath(), "--help"}, &output), 0);
    for (const char* option :
         {"--interface", "--interval", "--wait", "--down-after", "--log-dir", "--general-log",
          "--ac-log", "--log-foreign-padi", "--log-instance-padi", "--source-mac", "--promiscuous",
          "--cycles", "--metrics", "--stats", "--quiet", "--help"})
        EXPECT_NE(output.find(option), std::string::npos) << option;
    // A custom source MAC brings promiscuous mode with it, and says so.
    const size_t sourceMac = output.find("--source-mac");
    EXPECT_LT(output.find("promiscuous mode on", sourceMac), output.find("--promiscuous"));
}

}  // namespace
}  // namespace lwlab
