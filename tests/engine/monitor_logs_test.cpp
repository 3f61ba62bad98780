#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "engine/linewatch.h"
#include "engine/monitor.h"
#include "engine/net_watch_media.h"
#include "engine_test_support.h"
#include "monitor_harness.h"
#include "netns_sandbox.h"
#include "pado_responder.h"
#include "recording_view.h"
#include "test_support.h"

TEST(MonitorLogs, AcLogStartsWithTheDiscoveringReplyAndAddsTimeoutLines) {
    TempFolder folder;
    MonitorSettings settings;
    settings.acLog = true;
    MonitorHarness h(settings, folder.Path());
    h.Cycle({kAc1});
    h.Cycle({});
    h.Cycle({kAc1});
    const std::string text = ReadFile(folder.Path() + "/00-1b-21-0a-4c-5e.log");
    const std::string stamp = R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] )";
    const std::string reply =
        stamp + "PADO reply: len " + PadoLength(kAc1) + R"( bytes, time 12\.346 ms\n)";
    const std::regex expected(reply + stamp + R"(Timeout \(500 ms\) expired\. AC not answered\n)" +
                              reply);
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(MonitorLogs, TwoAcsBehindOneMacShareTheirFileWhichIsEmptiedOnce) {
    TempFolder folder;
    const std::string path = folder.Path() + "/00-1b-21-0a-4c-5e.log";
    {
        std::ofstream old(path);
        old << "line of an earlier run\n";
    }
    MonitorSettings settings;
    settings.acLog = true;
    MonitorHarness h(settings, folder.Path());
    h.Cycle({{kAc1Mac, "alpha", "s", 1000}, {kAc1Mac, "beta", "s", 2000}});
    h.Cycle({{kAc1Mac, "alpha", "s", 3000}, {kAc1Mac, "beta", "s", 4000}});
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.find("earlier run"), std::string::npos);
    const std::regex line(
        R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] PADO reply: len \d\d bytes, time (\d\.\d{3}) ms)");
    std::istringstream lines(text);
    std::vector<std::string> times;
    for (std::string l; std::getline(lines, l);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(l, match, line)) << l;
        times.push_back(match[1]);
    }
    EXPECT_EQ(times, (std::vector<std::string>{"1.000", "2.000", "3.000", "4.000"}));
}

TEST(MonitorLogs, RestartEmptiesTheAcLogWhenTheAcIsDiscoveredAgain) {
    TempFolder folder;
    MonitorSettings settings;
    settings.acLog = true;
    {
        MonitorHarness first(settings, folder.Path());
        first.Cycle({kAc1});
        first.Cycle({kAc1});
    }
    MonitorHarness second(settings, folder.Path());
    second.Cycle({kAc1});
    const std::string text = ReadFile(folder.Path() + "/00-1b-21-0a-4c-5e.log");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST(MonitorLogs, SwitchingAcLogsOnOpensFilesForExistingRowsAndOffStopsWriting) {
    TempFolder folder;
    MonitorSettings settings;
    MonitorHarness h(settings, folder.Path());
    settings.logDirectory = folder.Path();
    h.Cycle({kAc1});
    const std::string path = folder.Path() + "/00-1b-21-0a-4c-5e.log";
    EXPECT_FALSE(std::filesystem::exists(path));
    settings.acLog = true;
    h.monitor->ApplySettings(settings);
    h.Cycle({});
    EXPECT_NE(ReadFile(path).find("Timeout (500 ms)"), std::string::npos);
    settings.acLog = false;
    h.monitor->ApplySettings(settings);
    const std::string before = ReadFile(path);
    h.Cycle({kAc1});
    EXPECT_EQ(ReadFile(path), before);
}

// One file that cannot be made (a directory in its place) costs that AC its
// log only: the next AC still gets one, and monitoring goes on.
TEST(MonitorLogs, AcLogThatCannotBeOpenedLeavesTheOtherAcLogsOn) {
    TempFolder folder;
    std::filesystem::create_directory(folder.File(AcLogFileName(kAc1Mac)));
    MonitorSettings settings;
    settings.acLog = true;
    MonitorHarness h(settings, folder.Path());
    testing::internal::CaptureStderr();
    h.Cycle({kAc1});
    h.Cycle({kAc1, kAc2});
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("Error: AcLogFile::fopen_s()"), std::string::npos) << errors;
    EXPECT_TRUE(h.monitor->AcLogActive());
    EXPECT_EQ(h.monitor->Rows().size(), 2u);  // monitoring goes on
    EXPECT_NE(ReadFile(folder.File(AcLogFileName(kAc2Mac))).find("PADO reply"), std::string::npos);
}

TEST(MonitorLogs, GeneralLogHoldsTheLinesOfTheLogBoxWithLineFeeds) {
    TempFolder folder;
    MonitorSettings settings;
    settings.generalLog = true;
    MonitorHarness h(settings, folder.Path());
    h.monitor->Open({{"lwtest0", "Test adapter", kOurMac}});
    h.Cycle({kAc1});
    h.Cycle({});
    h.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    h.monitor->Close();
    std::string box;
    for (const std::string& line : h.view.log) {
        ASSERT_TRUE(line.ends_with("\r\n"));
        box += line.substr(0, line.size() - 2) + "\n";
    }
    EXPECT_EQ(ReadFile(folder.Path() + "/monitor.log"), box);
    const auto texts = h.view.LogTexts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_TRUE(texts[0].starts_with("Line Watchman v1.1.7.")) << texts[0];
    EXPECT_EQ(texts[1], "Select: Test adapter");
    // The test adapter cannot be opened: monitoring stays stopped.
    EXPECT_EQ(texts[2], "ERROR: This Ethernet Adapter is unavailable. Line Watchman is stopped");
    EXPECT_FALSE(h.monitor->IsMonitoring());
}

TEST(MonitorLogs, GeneralLogIsAppendedAcrossRuns) {
    TempFolder folder;
    MonitorSettings settings;
    settings.generalLog = true;
    for (int run = 0; run < 2; ++run) {
        MonitorHarness h(settings, folder.Path());
        h.monitor->Open({});
    }
    const std::string text = ReadFile(folder.Path() + "/monitor.log");
    size_t banners = 0;
    for (size_t at = text.find("Line Watchman v"); at != std::string::npos;
         at = text.find("Line Watchman v", at + 1))
        ++banners;
    EXPECT_EQ(banners, 2u);
}

TEST(MonitorLogs, WithoutTheGeneralLogLinesGoToTheBoxOnly) {
    TempFolder folder;
    MonitorHarness h(MonitorSettings{}, folder.Path());
    h.monitor->Open({});
    EXPECT_EQ(h.view.log.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(folder.Path() + "/monitor.log"));
}

namespace {

// Keeps the adapter choices a monitor asks to save.
class SavedAdapterChoices final : public AdapterChoiceStore {
  public:
    void KeepAdapterChoice(const std::string& deviceName) override { names.push_back(deviceName); }
    std::vector<std::string> names;
};

}  // namespace

TEST(MonitorAdapters, SavedAdapterIsSelectedElseTheFirstWhoseNameIsSaved) {
    MonitorSettings settings;
    settings.deviceName = "eth1";
    MonitorHarness h(settings);
    SavedAdapterChoices saved;
    h.monitor->SetAdapterChoiceStore(&saved);
    EXPECT_TRUE(
        h.monitor->BuildAdapterList({{"eth0", "First", kOurMac}, {"eth1", "Second", kAc2Mac}}));
    EXPECT_EQ(h.monitor->CurrentAdapter(), 1);
    EXPECT_TRUE(saved.names.empty());
    EXPECT_EQ(h.view.events.back(), "adapters 2 1 enabled");
    EXPECT_EQ(h.view.LogTexts().back(), "Select: Second");

    settings.deviceName = "gone0";
    MonitorHarness g(settings);
    g.monitor->SetAdapterChoiceStore(&saved);
    EXPECT_TRUE(g.monitor->BuildAdapterList({{"eth0", "First", kOurMac}}));
    EXPECT_EQ(g.monitor->CurrentAdapter(), 0);
    EXPECT_EQ(saved.names, (std::vector<std::string>{"eth0"}));
    EXPECT_EQ(g.view.events.back(), "adapters 1 0 disabled");
}

TEST(MonitorAdapters, NoAdapterListsNothingAndStartsNothing) {
    MonitorHarness h;
    EXPECT_FALSE(h.monitor->Open({}));
    EXPECT_EQ(h.view.Count("adapters 0 -1 disabled"), 1u);
    EXPECT_FALSE(h.monitor->IsMonitoring());
    EXPECT_EQ(h.view.log.size(), 1u);  // the banner only
}

TEST(MonitorAdapters, SelectingAnAdapterClearsTheTableAndLogsTheChoice) {
    MonitorHarness h;
    h.monitor->BuildAdapterList({{"lwnone0", "First", kOurMac}, {"lwnone1", "Second", kAc2Mac}});
    h.Cycle({kAc1});
    SavedAdapterChoices saved;
    h.monitor->SetAdapterChoiceStore(&saved);
    h.monitor->SelectAdapter(1);
    EXPECT_TRUE(h.monitor->Rows().empty());
    EXPECT_EQ(saved.names, (std::vector<std::string>{"lwnone1"}));
    EXPECT_EQ(h.engine.GetSourceMac(), kAc2Mac);
    const auto texts = h.view.LogTexts();
    EXPECT_EQ(texts[texts.size() - 2], "Select: Second");
    EXPECT_EQ(texts.back(),
              "ERROR: This Ethernet Adapter is unavailable. Line Watchman is stopped");
}

TEST(MonitorSettingsRules, CustomSourceMacCountsAtLoadOnlyInItsExactForm) {
    MonitorSettings settings;
    settings.useSourceMac = true;
    settings.sourceMacText = "02:4c:57:20:00:99";
    MonitorHarness h(settings);
    h.monitor->BuildAdapterList({{"eth0", "First", kOurMac}});
    EXPECT_EQ(h.monitor->CurrentSourceMac(), kCustomMac);

    settings.sourceMacText = "2:4c:57:20:00:99";  // parses, but 16 characters
    MonitorHarness s(settings);
    s.monitor->BuildAdapterList({{"eth0", "First", kOurMac}});
    EXPECT_EQ(s.monitor->CurrentSourceMac(), kOurMac);
}

TEST(MonitorSettingsRules, UseSourceMacHandsTheAddressToTheEngine) {
    MonitorSettings settings;
    MonitorHarness h(settings);
    h.monitor->BuildAdapterList({{"eth0", "First", kOurMac}});
    settings.useSourceMac = true;
    settings.sourceMacText = "02:4c:57:20:00:99";
    h.monitor->ApplySettings(settings);
    EXPECT_EQ(h.engine.GetSourceMac(), kCustomMac);
    settings.useSourceMac = false;
    h.monitor->ApplySettings(settings);
    EXPECT_EQ(h.engine.GetSourceMac(), kOurMac);
}

TEST(MonitorSettingsRules, TimingAndPadiFlagsReachTheEngine) {
    MonitorSettings settings;
    settings.probeIntervalSeconds = 7;
    settings.padoWaitMs = 300;
    MonitorHarness h(settings);
    EXPECT_EQ(h.engine.GetProbeInterval(), 7000);
    EXPECT_EQ(h.engine.GetPadoWaitTime(), 300);
    settings.probeIntervalSeconds = 9;
    settings.padoWaitMs = 900;
    h.monitor->ApplySettings(settings);
    EXPECT_EQ(h.engine.GetProbeInterval(), 9000);
    EXPECT_EQ(h.engine.GetPadoWaitTime(), 900);
    // The timeout line shows the wait in force.
    EXPECT_EQ(h.monitor->Settings().padoWaitMs, 900);
}

TEST(MonitorSettingsRules, ChangedIdsNameExactlyTheDifferingSettings) {
    MonitorSettings a;
    MonitorSettings b = a;
    EXPECT_TRUE(ChangedSettingIds(a, b).empty());
    b.padoWaitMs = 600;
    b.promiscuous = true;
    EXPECT_EQ(ChangedSettingIds(a, b),
              (std::vector<int32_t>{kPropMonPADOWaitTime, kPropPcapPromiscuousMode}));
}

TEST(MonitorSettingsRules, ANewCustomMacWithTheFlagSetIsSentFromNowOn) {
    MonitorSettings settings;
    settings.useSourceMac = true;
    settings.sourceMacText = "02:4c:57:20:00:99";
    MonitorHarness h(settings);
    h.monitor->BuildAdapterList({{"eth0", "First", kOurMac}});
    settings.sourceMacText = "02:4c:57:20:00:98";
    h.monitor->ApplySettings(settings);
    EXPECT_EQ(h.engine.GetSourceMac(), (MacAddress{0x02, 0x4c, 0x57, 0x20, 0x00, 0x98}));
    // A text that does not read as a MAC leaves the address as it was.
    settings.sourceMacText = "02-4c-57-20-00-97";
    h.monitor->ApplySettings(settings);
    EXPECT_EQ(h.engine.GetSourceMac(), (MacAddress{0x02, 0x4c, 0x57, 0x20, 0x00, 0x98}));
}

TEST(MonitorSettingsRules, LogsSwitchedOnWithANewFolderInOneBatchOpenInTheNewFolder) {
    TempFolder before;
    TempFolder after;
    MonitorSettings settings;
    settings.logDirectory = before.Path();
    MonitorHarness h(settings);
    h.Cycle({kAc1});
    settings.logDirectory = after.Path();
    settings.generalLog = true;
    settings.acLog = true;
    h.monitor->ApplySettings(settings);
    h.Cycle({});
    h.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    EXPECT_NE(ReadFile(after.Path() + "/monitor.log").find("WARNING: Network cable unplugged"),
              std::string::npos);
    EXPECT_NE(ReadFile(after.Path() + "/00-1b-21-0a-4c-5e.log").find("Timeout (500 ms)"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(before.Path()));
}

TEST(MonitorLogs, AnEmptyLogFolderIsTheProgramFolderAndNeverTheRoot) {
    MonitorSettings settings;
    settings.logDirectory = "";
    MonitorHarness h(settings);
    EXPECT_EQ(h.monitor->LogFolder(), "/nonexistent-program");
    settings.logDirectory = "/..";
    MonitorHarness root(settings);
    EXPECT_EQ(root.monitor->LogFolder(), "");
    testing::internal::CaptureStderr();
    root.monitor->ApplySettings([&] {
        MonitorSettings on = settings;
        on.generalLog = true;
        on.acLog = true;
        return on;
    }());
    root.Cycle({kAc1});
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("Error: OnBtnClickedSettings::fopen_s()"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Error: AcLogFile::fopen_s()"), std::string::npos) << errors;
    EXPECT_FALSE(std::filesystem::exists("/monitor.log"));
    EXPECT_FALSE(std::filesystem::exists("/00-1b-21-0a-4c-5e.log"));
}

// A link planted in a shared log folder must not redirect a log onto another
// file: both logs refuse it with their failure line and the file linked to
// stays as it was.
TEST(MonitorLogs, SymlinkedLogFilesAreRefusedAndTheLinkedFileStaysUntouched) {
    TempFolder folder;
    TempFolder elsewhere;
    const std::string victim = elsewhere.File("private.txt");
    std::ofstream(victim) << "private\n";
    const std::string generalLog = folder.File("monitor.log");
    const std::string acLog = folder.File("00-1b-21-0a-4c-5e.log");
    std::filesystem::create_symlink(victim, generalLog);
    std::filesystem::create_symlink(victim, acLog);
    MonitorSettings settings;
    settings.generalLog = true;
    settings.acLog = true;
    MonitorHarness h(settings, folder.Path());
    testing::internal::CaptureStderr();
    h.monitor->Open({});
    h.Cycle({kAc1});
    h.Cycle({});
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("Error: OnCreate::fopen_s()"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Error: AcLogFile::fopen_s()"), std::string::npos) << errors;
    EXPECT_TRUE(h.monitor->AcLogActive());    // only this AC goes without
    EXPECT_EQ(h.monitor->Rows().size(), 1u);  // monitoring goes on
    EXPECT_EQ(ReadFile(victim), "private\n");
    EXPECT_TRUE(std::filesystem::is_symlink(generalLog));
    EXPECT_TRUE(std::filesystem::is_symlink(acLog));
}
