// linewatch-cli and the frames on the lab's wire: PADIs of a foreign station
// and of another instance, a custom source MAC and the promiscuous mode it
// brings, a burst of a thousand offers and hostile AC names. tshark is the
// independent witness of what was sent and answered.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "lab/cli_run.h"
#include "test_support.h"

namespace lwlab {
namespace {

using namespace std::chrono_literals;

TEST_F(CliLabTest, ForeignPadiIsLoggedOnlyWithItsOption) {
    CliRun logging(
        {"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--log-foreign-padi"});
    CliRun quiet({"-i", MonitorInterface(), "--interval", "1", "--wait", "300"});
    ASSERT_TRUE(logging.WaitForTables(1, 10s)) << logging.Text();
    ASSERT_TRUE(quiet.WaitForTables(1, 10s)) << quiet.Text();
    // In the background: the station's discovery waits for its own time-out.
    ASSERT_EQ(Lab({"foreign-padi"}), 0);
    const std::string line = "PADI:  " + std::string(kStationText);
    ASSERT_TRUE(logging.WaitForLine(line, 10s)) << logging.Text();
    // The quiet one saw the same frame; a later cycle proves it was handled.
    ASSERT_TRUE(quiet.WaitForTables(quiet.Tables().size() + 1, 10s));
    EXPECT_EQ(logging.Stop(), 0);
    EXPECT_EQ(quiet.Stop(), 0);
    EXPECT_EQ(quiet.Text().find("PADI:  "), std::string::npos) << quiet.Text();
    // Each sees the other's probes (the same adapter MAC, another stamp): those
    // are other-instance PADIs, not foreign ones.
    EXPECT_EQ(logging.Text().find("Line Watchman PADI:  "), std::string::npos) << logging.Text();
}

TEST_F(CliLabTest, OtherInstancePadiIsLoggedOnlyWithItsOption) {
    const std::string mac = "02:4c:57:00:77:02";
    CliRun logging({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--source-mac",
                    mac, "--log-instance-padi"});
    CliRun quiet(
        {"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--source-mac", mac});
    const std::string line = "Line Watchman PADI:  02:4C:57:00:77:02";
    ASSERT_TRUE(logging.WaitForLine(line, 10s)) << logging.Text();
    ASSERT_TRUE(quiet.WaitForTables(3, 10s)) << quiet.Text();
    EXPECT_EQ(logging.Stop(), 0);
    EXPECT_EQ(quiet.Stop(), 0);
    EXPECT_EQ(quiet.Text().find("PADI:  "), std::string::npos) << quiet.Text();
    // Both still hear the concentrators: offers carrying the other's stamp are
    // dropped, their own are matched.
    for (CliRun* run : {&logging, &quiet}) {
        const Table last = run->Tables().back();
        ASSERT_NE(FindRow(last, kAc1Text, "LabAC-One"), nullptr) << run->Text();
        EXPECT_EQ(FindRow(last, kAc1Text, "LabAC-One")->lost, "0") << run->Text();
    }
}

TEST_F(CliLabTest, CustomSourceMacIsSentAndAnsweredAndRttMatchesTheWire) {
    TempFolder logs;
    const std::string capture = logs.Path() + "/wire.pcap";
    ASSERT_EQ(Lab({"capture-start", capture}), 0);
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--cycles", "3",
                "--source-mac", "02:4c:57:00:77:01", "--log-dir", logs.Path(), "--ac-log"});
    ASSERT_EQ(cli.Wait(20s), 0) << cli.Text();
    ASSERT_EQ(Lab({"capture-stop"}), 0);

    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 3u) << cli.Text();
    ASSERT_NE(FindRow(tables.back(), kAc1Text, "LabAC-One"), nullptr) << cli.Text();
    EXPECT_EQ(FindRow(tables.back(), kAc1Text, "LabAC-One")->received, "3");

    // Every probe on the wire comes from the custom MAC; each AC answers it.
    const std::vector<CapturedFrame> frames = ReadCapture(capture);
    std::vector<long long> probes;
    std::vector<double> wireRtts;  // AC 1, ms
    for (const CapturedFrame& frame : frames) {
        if (frame.code == 0x09 && frame.source == "02:4c:57:00:77:01") probes.push_back(frame.ns);
        if (frame.code == 0x09) {
            EXPECT_EQ(frame.source, "02:4c:57:00:77:01");
        }
        if (frame.code == 0x07 && frame.source == "02:4c:57:00:0a:01" && !probes.empty())
            wireRtts.push_back(static_cast<double>(frame.ns - probes.back()) / 1e6);
    }
    EXPECT_EQ(probes.size(), 3u);
    const std::string text = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    std::vector<double> loggedRtts;
    const std::regex reply(R"(PADO reply: len \d+ bytes, time (\d+\.\d{3}) ms)");
    for (std::sregex_iterator it(text.begin(), text.end(), reply), end; it != end; ++it)
        loggedRtts.push_back(std::stod((*it)[1]));
    ASSERT_EQ(loggedRtts.size(), wireRtts.size()) << text;
    for (size_t i = 0; i < loggedRtts.size(); ++i) {
        std::printf("[ FIGURE   ] RTT logged %.3f ms, on the wire %.6f ms\n", loggedRtts[i],
                    wireRtts[i]);
        EXPECT_NEAR(loggedRtts[i], wireRtts[i], 0.002);
    }
}

// The kernel's count of promiscuous users of the monitor interface.
int Promiscuity() {
    std::string output;
    if (RunProgram({"ip", "-n", std::string(kMonitorNamespace), "-d", "link", "show",
                    std::string(kMonitorInterface)},
                   &output) != 0)
        return -1;
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(R"(promiscuity (\d+))"))) return -1;
    return std::stoi(match[1]);
}

// A real network card drops offers to a MAC not its own unless the capture
// is promiscuous: a custom source MAC brings promiscuous mode with it.
TEST_F(CliLabTest, CustomSourceMacSwitchesPromiscuousModeOn) {
    ASSERT_EQ(Promiscuity(), 0);
    {
        CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300"});
        ASSERT_TRUE(cli.WaitForTables(1, 20s)) << cli.Text();
        EXPECT_EQ(Promiscuity(), 0);
    }
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--source-mac",
                "02:4c:57:00:77:01"});
    ASSERT_TRUE(cli.WaitForTables(1, 20s)) << cli.Text();
    EXPECT_EQ(Promiscuity(), 1);
    EXPECT_EQ(cli.Stop(), 0) << cli.Text();
}

TEST_F(CliLabTest, EveryOfferOfAThousandIsListed) {
    TempFolder folder;
    const std::string capture = folder.Path() + "/wire.pcap";
    ASSERT_EQ(Lab({"responder", "1000"}), 0);
    ASSERT_EQ(Lab({"capture-start", capture}), 0);
    CliRun cli({"-i", MonitorInterface(), "--interval", "5", "--wait", "1000", "--cycles", "1"});
    ASSERT_EQ(cli.Wait(30s), 0) << cli.Text().substr(0, 2000);
    ASSERT_EQ(Lab({"capture-stop"}), 0);
    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 1u);
    std::set<std::string> listed;
    for (const TableRow& row : tables[0])
        if (row.mac.starts_with("02:00:00:")) listed.insert(row.mac);
    EXPECT_NE(FindRow(tables[0], kAc1Text, "LabAC-One"), nullptr);

    // The witness: every offer that reached the monitor's interface, as tshark
    // captured it there, must be in the table.
    std::set<std::string> onTheWire;
    for (const CapturedFrame& frame : ReadCapture(capture)) {
        if (frame.code != 0x07 || !frame.source.starts_with("02:00:00:")) continue;
        std::string mac = frame.source;
        std::transform(mac.begin(), mac.end(), mac.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        onTheWire.insert(mac);
    }
    std::printf("[ FIGURE   ] responder offers: %zu captured on the interface, %zu listed\n",
                onTheWire.size(), listed.size());
    EXPECT_EQ(listed, onTheWire);
    // The kernel's input queue (netdev_max_backlog, 1000 by default) may drop
    // a few frames of the burst before any capture sees them.
    EXPECT_GE(onTheWire.size(), 990u);

    // Benchmark: from the first to the last new-AC line the monitor printed.
    const auto lines = cli.Lines();
    std::optional<Clock::time_point> first;
    Clock::time_point last{};
    size_t count = 0;
    for (const OutputLine& line : lines) {
        if (line.text.find("AC: NEW:  02:00:00:") == std::string::npos) continue;
        if (!first) first = line.at;
        last = line.at;
        ++count;
    }
    ASSERT_TRUE(first);
    std::printf("[ FIGURE   ] %zu offers of one probe handled and printed in %.1f ms\n", count,
                std::chrono::duration<double, std::milli>(last - *first).count());
}

TEST_F(CliLabTest, HostileAcNamesReachTheTerminalAndLogsOnlyEscaped) {
    TempFolder logs;
    // ESC sequences (clear screen, window title) and a right-to-left override.
    const std::string prefix = "\x1b[2J\x1b]0;x\x07\xe2\x80\xae";
    ASSERT_EQ(Lab({"responder", "1", "--name-prefix", prefix}), 0);
    CliRun cli({"-i", MonitorInterface(), "--interval", "5", "--wait", "300", "--cycles", "1",
                "--log-dir", logs.Path(), "--general-log", "--ac-log"});
    ASSERT_EQ(cli.Wait(20s), 0) << cli.Text();
    const std::string escaped = "\\x1b[2J\\x1b]0;x\\x07\\u202e0001";
    const std::string output = cli.Text();
    const std::string generalLog = ReadFile(logs.Path() + "/monitor.log");
    for (const std::string* text : {&output, &generalLog}) {
        EXPECT_EQ(text->find('\x1b'), std::string::npos) << *text;
        EXPECT_EQ(text->find('\x07'), std::string::npos) << *text;
        EXPECT_EQ(text->find("\xe2\x80\xae"), std::string::npos) << *text;
        EXPECT_NE(text->find("AC: NEW:  02:00:00:00:00:01 " + escaped), std::string::npos) << *text;
    }
    const TableRow* row = FindRow(cli.Tables().at(0), "02:00:00:00:00:01", escaped);
    ASSERT_NE(row, nullptr) << output;
    EXPECT_EQ(row->service, "Default");
    // The per-AC log is named by the MAC alone.
    EXPECT_TRUE(std::filesystem::exists(logs.Path() + "/02-00-00-00-00-01.log"));
}

}  // namespace
}  // namespace lwlab
