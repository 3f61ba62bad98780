// linewatch-cli against the lab, watching: both concentrators listed and
// counted cycle by cycle, the stored settings it starts from, a stopped
// server and an unplugged cable reported once each, and twin Cyrillic names
// under a comma locale. The program runs as a child process inside the
// monitor namespace and is read through its output, its log files and its
// exit status (lab/cli_run.h).

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "comma_locale.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "core/storage/storage_names.h"
#include "lab/cli_run.h"
#include "test_support.h"

namespace lwlab {
namespace {

using namespace std::chrono_literals;

TEST_F(CliLabTest, ListsBothConcentratorsCountsEveryProbeAndWritesTheLogs) {
    TempFolder logs;
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--cycles", "2",
                "--log-dir", logs.Path(), "--general-log", "--ac-log"});
    EXPECT_EQ(cli.Wait(20s), 0) << cli.Text();
    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 2u) << cli.Text();
    for (size_t cycle = 0; cycle < 2; ++cycle) {
        const std::string count = std::to_string(cycle + 1);
        const TableRow* one = FindRow(tables[cycle], kAc1Text, "LabAC-One");
        const TableRow* two = FindRow(tables[cycle], kAc2Text, "LabAC-Two");
        ASSERT_NE(one, nullptr) << cli.Text();
        ASSERT_NE(two, nullptr) << cli.Text();
        EXPECT_EQ(one->service, "internet");
        EXPECT_EQ(two->service, "voice");  // the last of its two Service-Name tags
        for (const TableRow* row : {one, two}) {
            EXPECT_EQ(row->state, "UP");
            EXPECT_TRUE(std::regex_match(row->rtt, std::regex(R"(\d+\.\d{3})"))) << row->rtt;
            EXPECT_EQ(row->sent, count);
            EXPECT_EQ(row->received, count);
            EXPECT_EQ(row->lost, "0");
        }
    }
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc1Text) + " LabAC-One"), 1u);
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc2Text) + " LabAC-Two"), 1u);
    const auto texts = cli.LogTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_TRUE(texts[0].starts_with("Line Watchman v1.1.7.")) << texts[0];
    EXPECT_EQ(texts[1], "Select: " + MonitorInterface());

    // The general log holds exactly the printed log lines.
    std::string printed;
    for (const OutputLine& line : cli.Lines())
        if (line.text.starts_with("[")) printed += line.text + "\n";
    EXPECT_EQ(ReadFile(logs.Path() + "/monitor.log"), printed);
    // One per-AC file per MAC, one reply line per answered probe.
    const std::string reply =
        R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] PADO reply: len \d+ bytes, time \d+\.\d{3} ms\n)";
    for (const char* file : {"/02-4c-57-00-0a-01.log", "/02-4c-57-00-0a-02.log"}) {
        const std::string text = ReadFile(logs.Path() + file);
        EXPECT_TRUE(std::regex_match(text, std::regex("(" + reply + "){2}"))) << file << ":\n"
                                                                              << text;
    }
}

TEST_F(CliLabTest, CyclesAsLongAsTheirWaitCountEveryAnswerOnceAndNeverGoDown) {
    // Each probe leaves as the wait of the one before runs out: the reports
    // of two probes interleave every cycle.
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "1000", "--cycles", "20"});
    EXPECT_EQ(cli.Wait(90s), 0) << cli.Text();
    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 20u) << cli.Text();
    int exact = 0;
    for (size_t cycle = 0; cycle < tables.size(); ++cycle) {
        for (const auto& [mac, name] :
             {std::pair{kAc1Text, "LabAC-One"}, {kAc2Text, "LabAC-Two"}}) {
            const TableRow* row = FindRow(tables[cycle], mac, name);
            ASSERT_NE(row, nullptr) << "cycle " << cycle << "\n" << cli.Text();
            EXPECT_EQ(row->state, "UP") << "cycle " << cycle;
            EXPECT_NE(row->rtt, "N/A") << "cycle " << cycle;
            EXPECT_EQ(row->lost, "0") << "cycle " << cycle;
            // The table is printed when a wait ends; the next probe may be
            // out already, its answer not yet in.
            const int sent = std::stoi(row->sent);
            const int received = std::stoi(row->received);
            EXPECT_GE(sent - received, 0) << "cycle " << cycle;
            EXPECT_LE(sent - received, 1) << "cycle " << cycle;
            exact += sent == received ? 1 : 0;
        }
    }
    std::printf("tables with sent == received for both ACs: %d of %zu rows\n", exact,
                2 * tables.size());
    for (const std::string& text : cli.LogTexts())
        EXPECT_FALSE(text.starts_with("AC: DOWN:") || text.starts_with("AC: UP:")) << text;
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc1Text) + " LabAC-One"), 1u);
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc2Text) + " LabAC-Two"), 1u);
}

TEST_F(CliLabTest, StartsFromTheStoredSettingsAndOptionsOverrideThemForTheRunOnly) {
    TempFolder logs;
    {
        KtRegistry user(RegistryRoot::CurrentUser);
        ASSERT_TRUE(user.Open(kOptionsKeyPath, true, true));
        user.WriteInt("LogGenWriteToFile", 1);
        user.WriteString("LogDirectory", logs.Path());
        user.WriteInt("MonPADOWaitTime", 300);
        user.WriteString("PcapDeviceName", "lw-none");
    }
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--cycles", "1"});
    EXPECT_EQ(cli.Wait(20s), 0) << cli.Text();
    // The stored general log and folder were used without options.
    EXPECT_NE(ReadFile(logs.Path() + "/monitor.log").find("AC: NEW:  "), std::string::npos);
    // The adapter named on the command line was not saved.
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kOptionsKeyPath, false, false));
    EXPECT_EQ(user.ReadString("PcapDeviceName"), "lw-none");
}

TEST_F(CliLabTest, StoppedServerShowsNaGoesDownOnceAndUpOnceWhenBack) {
    TempFolder logs;
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--log-dir",
                logs.Path(), "--ac-log"});
    ASSERT_TRUE(cli.WaitForTables(1, 10s)) << cli.Text();
    ASSERT_EQ(Lab({"ac-stop", "1"}), 0);
    const std::string down = "AC: DOWN:  " + std::string(kAc1Text) + " LabAC-One";
    const std::string up = "AC: UP:  " + std::string(kAc1Text) + " LabAC-One";
    ASSERT_TRUE(cli.WaitForLine(down, 10s)) << cli.Text();
    const size_t tablesAtDown = cli.Tables().size();
    ASSERT_TRUE(cli.WaitForTables(tablesAtDown + 2, 10s)) << cli.Text();
    {
        const Table last = cli.Tables().back();
        const TableRow* one = FindRow(last, kAc1Text, "LabAC-One");
        ASSERT_NE(one, nullptr);
        EXPECT_EQ(one->state, "DOWN");
        EXPECT_EQ(one->rtt, "N/A");
        EXPECT_NE(one->lost, "0");
        EXPECT_EQ(FindRow(last, kAc2Text, "LabAC-Two")->state, "UP");
    }
    ASSERT_EQ(Lab({"ac-start", "1"}), 0);
    ASSERT_TRUE(cli.WaitForLine(up, 10s)) << cli.Text();
    const size_t tablesAtUp = cli.Tables().size();
    ASSERT_TRUE(cli.WaitForTables(tablesAtUp + 2, 10s)) << cli.Text();
    EXPECT_EQ(cli.Stop(), 0);
    EXPECT_EQ(cli.CountLog(down), 1u) << cli.Text();
    EXPECT_EQ(cli.CountLog(up), 1u) << cli.Text();
    EXPECT_EQ(FindRow(cli.Tables().back(), kAc1Text, "LabAC-One")->state, "UP");
    // The per-AC log has a timeout line for every unanswered cycle.
    const std::string text = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    EXPECT_NE(text.find("] Timeout (300 ms) expired. AC not answered\n"), std::string::npos)
        << text;
}

// How soon the unplugged cable is reported is a printed figure (the watcher
// reads the carrier once a second); a loaded machine may take longer.
TEST_F(CliLabTest, UnpluggedCableIsReportedOnceAndPluggingInOnce) {
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300"});
    ASSERT_TRUE(cli.WaitForTables(1, 10s)) << cli.Text();
    const auto unplugged = Clock::now();
    ASSERT_EQ(Lab({"cable-down"}), 0);
    ASSERT_TRUE(cli.WaitForLine("WARNING: Network cable unplugged", 10s)) << cli.Text();
    const auto lines = cli.Lines();
    const auto seen = lines[CliRun::IndexOf(lines, "WARNING: Network cable unplugged")].at;
    const double delay = std::chrono::duration<double>(seen - unplugged).count();
    std::printf("[ FIGURE   ] cable unplugged reported after %.3f s\n", delay);
    ASSERT_EQ(Lab({"cable-up"}), 0);
    ASSERT_TRUE(cli.WaitForLine("INFO: Network cable is connected", 10s)) << cli.Text();
    // Let the watcher poll a few more times: no repeats.
    ASSERT_TRUE(cli.WaitForTables(cli.Tables().size() + 2, 10s));
    EXPECT_EQ(cli.Stop(), 0);
    EXPECT_EQ(cli.CountLog("WARNING: Network cable unplugged"), 1u) << cli.Text();
    EXPECT_EQ(cli.CountLog("INFO: Network cable is connected"), 1u) << cli.Text();
}

// Two access concentrators behind one MAC whose names differ only in their
// last character, within the 25 kept but beyond the 25th byte; the program
// runs under a locale whose decimal point is a comma.
TEST_F(CliLabTest, TwinCyrillicAcsAreTwoRowsOneGoesDownAndFiguresKeepTheirDot) {
    const CommaLocale& comma = CommaLocale::Get();
    if (!comma.ok()) GTEST_SKIP() << comma.error();
    const std::vector<std::string> names = {"Москва-Центр-БРАС-01", "Москва-Центр-БРАС-02"};
    TempFolder twins;
    std::vector<std::string> pidFiles;
    for (size_t i = 0; i < names.size(); ++i) {
        pidFiles.push_back(twins.File("twin" + std::to_string(i) + ".pid"));
        ASSERT_EQ(RunProgram({"ip", "netns", "exec", "lwac1", "pppoe-server", "-I", "lwac1e0", "-C",
                              names[i], "-S", "internet", "-X", pidFiles.back()}),
                  0);
    }
    const auto stopTwin = [&](size_t i) {
        const std::string pid = ReadFile(pidFiles[i]);
        if (!pid.empty()) kill(static_cast<pid_t>(std::stol(pid)), SIGTERM);
    };
    TempFolder logs;
    for (const char* name : {"LC_ALL", "LANG"}) ::setenv(name, CommaLocale::kName, 1);
    ::setenv("LOCPATH", comma.Folder().c_str(), 1);
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--down-after", "2",
                "--stats", "--log-dir", logs.Path(), "--general-log", "--ac-log"});
    for (const char* name : {"LC_ALL", "LANG", "LOCPATH"}) ::unsetenv(name);
    const auto bothListed = [&](const auto& lines) {
        const std::vector<Table> tables = CliRun::TablesOf(lines);
        return !tables.empty() && FindRow(tables.back(), kAc1Text, names[0]) != nullptr &&
               FindRow(tables.back(), kAc1Text, names[1]) != nullptr;
    };
    const bool listed = cli.WaitFor(bothListed, 15s);
    stopTwin(0);
    const std::string down = "AC: DOWN:  " + std::string(kAc1Text) + " " + names[0];
    const bool wentDown = listed && cli.WaitForLine(down, 15s);
    const bool more = wentDown && cli.WaitForTables(cli.Tables().size() + 2, 10s);
    stopTwin(1);
    ASSERT_TRUE(listed && wentDown && more) << cli.Text();
    EXPECT_EQ(cli.Stop(), 0);
    const Table last = cli.Tables().back();
    EXPECT_EQ(FindRow(last, kAc1Text, names[0])->state, "DOWN") << cli.Text();
    EXPECT_EQ(FindRow(last, kAc1Text, names[0])->rtt, "N/A");
    EXPECT_EQ(FindRow(last, kAc1Text, names[1])->state, "UP");
    EXPECT_EQ(FindRow(last, kAc1Text, "LabAC-One")->state, "UP");
    EXPECT_EQ(cli.CountLog(down), 1u) << cli.Text();
    EXPECT_EQ(cli.CountLog("AC: DOWN:  " + std::string(kAc1Text) + " " + names[1]), 0u);
    const std::string log = ReadFile(logs.Path() + "/monitor.log");
    EXPECT_NE(log.find("] " + down + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\\x"), std::string::npos) << log;

    // Every figure of the tables (RTT and statistics) and of the AC log has
    // its dot.
    const std::regex figure(R"(\d+[.,]\d{3}\b)");
    size_t figures = 0;
    const std::string acLog = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    for (const std::string& text : {cli.Text(), acLog}) {
        for (std::sregex_iterator it(text.begin(), text.end(), figure), end; it != end; ++it) {
            ++figures;
            EXPECT_EQ(it->str().find(','), std::string::npos) << text;
        }
    }
    EXPECT_GE(figures, 40u) << cli.Text();
    EXPECT_TRUE(std::regex_search(acLog, std::regex(R"(, time \d+\.\d{3} ms\n)"))) << acLog;
}

}  // namespace
}  // namespace lwlab
