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

TEST(MonitorAlerts, NoNewAcSoundInTheFirstCycleAfterStart) {
    MonitorSettings settings;
    settings.soundEventsEnabled = true;
    settings.newAcSoundFile = "/sounds/new.wav";
    MonitorHarness h(settings);
    h.monitor->StartMonitoring();  // no adapter: nothing starts, the sound is disarmed
    h.Cycle({kAc1});
    EXPECT_EQ(h.view.Count("play /sounds/new.wav once"), 0u);
    EXPECT_TRUE(h.monitor->NewAcSoundArmed());
    h.Cycle({kAc1, kAc2});
    EXPECT_EQ(h.view.Count("play /sounds/new.wav once"), 1u);
}

TEST(MonitorAlerts, SoundsLoopWhenWaitingForTheUserAndRediscoverStopsThem) {
    MonitorSettings settings;
    settings.soundEventsEnabled = true;
    settings.waitUserAction = true;
    settings.cableUnplugSoundFile = "/sounds/cable.wav";
    MonitorHarness h(settings);
    h.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    EXPECT_EQ(h.view.Count("play /sounds/cable.wav loop"), 1u);
    h.monitor->Rediscover();
    EXPECT_EQ(h.view.Count("stop sound"), 1u);
}

TEST(MonitorAlerts, ALoopingSoundStopsWhateverTheSoundOptionsSayNow) {
    MonitorSettings settings;
    settings.soundEventsEnabled = true;
    settings.waitUserAction = true;
    settings.cableUnplugSoundFile = "/sounds/cable.wav";
    MonitorHarness h(settings);
    const auto loop = [&] {
        h.monitor->HandleMessage(WM_LW_CABLE, kCableConnected, 0);
        h.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    };
    const auto stops = [&] { return h.view.Count("stop sound"); };

    // Sounds switched off at OK: the loop ends there, and the tray click,
    // Rediscover and the cable coming back still stop whatever plays.
    loop();
    size_t before = stops();
    MonitorSettings off = h.monitor->Settings();
    off.soundEventsEnabled = false;
    h.monitor->ApplySettings(off);
    EXPECT_EQ(stops(), before + 1);
    h.monitor->StopWaitingSound();
    h.monitor->Rediscover();
    h.monitor->HandleMessage(WM_LW_CABLE, kCableConnected, 0);
    EXPECT_EQ(stops(), before + 4);

    // The wait option switched off at OK ends the loop too.
    h.monitor->ApplySettings(settings);
    loop();
    before = stops();
    MonitorSettings once = h.monitor->Settings();
    once.waitUserAction = false;
    h.monitor->ApplySettings(once);
    EXPECT_EQ(stops(), before + 1);

    // Other options leave a sound alone.
    h.monitor->ApplySettings(settings);
    before = stops();
    MonitorSettings other = h.monitor->Settings();
    other.padoWaitMs = 700;
    other.soundEventsEnabled = true;
    h.monitor->ApplySettings(other);
    EXPECT_EQ(stops(), before);
}

TEST(MonitorAlerts, BalloonsOnlyWithTheirSettingButLogLinesAlways) {
    MonitorHarness quiet;
    quiet.Cycle({kAc1});
    quiet.Cycle({});
    quiet.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    EXPECT_TRUE(quiet.view.balloons.empty());
    EXPECT_EQ(quiet.view.LogTexts(),
              (std::vector<std::string>{"AC: NEW:  00:1B:21:0A:4C:5E access1",
                                        "AC: DOWN:  00:1B:21:0A:4C:5E access1",
                                        "WARNING: Network cable unplugged"}));

    MonitorSettings settings;
    settings.trayShowTooltips = true;
    MonitorHarness loud(settings);
    loud.Cycle({kAc1});
    loud.Cycle({});
    loud.Cycle({kAc1});
    loud.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    loud.monitor->HandleMessage(WM_LW_CABLE, kCableConnected, 0);
    loud.monitor->HandleMessage(WM_LW_CAPTURE_ERROR, kCaptureErrorReadFailed, 0);
    EXPECT_EQ(loud.view.balloons,
              (std::vector<std::string>{
                  "AC NEW:|2|00:1B:21:0A:4C:5E access1", "AC DOWN:|2|00:1B:21:0A:4C:5E access1",
                  "AC UP:|1|00:1B:21:0A:4C:5E access1", "WARNING:|2|Network cable unplugged",
                  "INFO:|1|Network cable is connected",
                  "Error:|3|This Ethernet Adapter is unavailable. Line Watchman is stopped"}));
}

TEST(MonitorAlerts, BalloonsOffStillPlaySoundsTurnTheIconAndWriteTheLines) {
    MonitorSettings settings;
    settings.soundEventsEnabled = true;
    settings.waitUserAction = true;
    settings.newAcSoundFile = "/sounds/new.wav";
    settings.cableUnplugSoundFile = "/sounds/cable.wav";
    MonitorHarness h(settings);
    h.Cycle({kAc1});
    h.Cycle({kAc1, kAc2});  // armed now: AC 2 is announced with its sound
    h.Cycle({});
    h.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    h.monitor->StopWaitingSound();  // the tray click
    h.monitor->HandleMessage(WM_LW_CABLE, kCableConnected, 0);
    EXPECT_TRUE(h.view.balloons.empty());
    EXPECT_EQ(h.view.Count("play /sounds/new.wav loop"), 1u);
    EXPECT_EQ(h.view.Count("play /sounds/cable.wav loop"), 1u);
    EXPECT_EQ(h.view.Count("stop sound"), 2u);
    EXPECT_EQ(h.view.tray, (std::vector<bool>{true, true, true, false}));
    EXPECT_EQ(h.view.LogTexts(),
              (std::vector<std::string>{
                  "AC: NEW:  00:1B:21:0A:4C:5E access1", "AC: NEW:  02:4C:57:20:0A:02 access2",
                  "AC: DOWN:  00:1B:21:0A:4C:5E access1", "AC: DOWN:  02:4C:57:20:0A:02 access2",
                  "WARNING: Network cable unplugged", "INFO: Network cable is connected"}));
}

TEST(MonitorEvents, CableEventsWithOtherValuesAreIgnored) {
    MonitorHarness h;
    h.monitor->HandleMessage(WM_LW_CABLE, 0, 0);
    h.monitor->HandleMessage(WM_LW_CABLE, 3, 0);
    h.monitor->HandleMessage(WM_LW_CABLE, kCableConnected, 0);
    EXPECT_EQ(h.view.LogTexts(), (std::vector<std::string>{"INFO: Network cable is connected"}));
}

TEST(MonitorEvents, CableEventPostedFromTheWatcherIsHandledAtTheNextDrain) {
    MonitorHarness h;
    std::thread watcher([&] { h.monitor->Port().Post(WM_LW_CABLE, kCableUnplugged); });
    watcher.join();
    EXPECT_TRUE(h.view.log.empty());
    h.monitor->Port().Drain();
    EXPECT_EQ(h.view.LogTexts(), (std::vector<std::string>{"WARNING: Network cable unplugged"}));
}

TEST(MonitorEvents, CaptureErrorClearsTheTableAndLogsTheAdapterError) {
    MonitorHarness h;
    h.Cycle({kAc1});
    h.monitor->HandleMessage(WM_LW_CAPTURE_ERROR, 2, 0);  // not a read failure
    EXPECT_EQ(h.monitor->Rows().size(), 1u);
    h.monitor->HandleMessage(WM_LW_CAPTURE_ERROR, kCaptureErrorReadFailed, 0);
    EXPECT_TRUE(h.monitor->Rows().empty());
    EXPECT_EQ(h.view.LogTexts().back(),
              "ERROR: This Ethernet Adapter is unavailable. Line Watchman is stopped");
    EXPECT_EQ(h.view.labels.back(), "");
    EXPECT_FALSE(h.view.tray.back());
    // The concentrators come back as new rows.
    h.Cycle({kAc1});
    EXPECT_EQ(h.view.LogCount("AC: NEW:  00:1B:21:0A:4C:5E access1"), 2u);
}

TEST(MonitorEvents, PadiLinesWrittenByAnotherThreadReachTheViewInOrder) {
    MonitorHarness h;
    std::thread receiver([&] {
        h.monitor->LogWriter().WriteLine({"PADI:  ", "02:4C:57:00:05:01"});
        h.monitor->LogWriter().WriteLine({"PADI:  ", "02:4C:57:00:05:02"});
    });
    receiver.join();
    EXPECT_TRUE(h.view.log.empty());  // the box is fed on the owner thread only
    h.monitor->Port().Drain();
    EXPECT_EQ(h.view.LogTexts(),
              (std::vector<std::string>{"PADI:  02:4C:57:00:05:01", "PADI:  02:4C:57:00:05:02"}));
}

TEST(MonitorEvents, ForeignPadiIsLoggedOnlyWithItsSetting) {
    constexpr MacAddress kStation = {0x02, 0x4c, 0x57, 0x00, 0x05, 0x01};
    const std::vector<uint8_t> padi = BuildPadi(kStation, 1234);
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<uint32_t>(padi.size());

    MonitorHarness off;
    off.engine.HandleFrame(header, padi.data());
    off.monitor->Port().Drain();
    EXPECT_TRUE(off.view.log.empty());

    MonitorSettings settings;
    settings.logForeignPadi = true;
    MonitorHarness on(settings);
    on.engine.HandleFrame(header, padi.data());
    on.monitor->Port().Drain();
    EXPECT_EQ(on.view.LogTexts(), (std::vector<std::string>{"PADI:  02:4C:57:00:05:01"}));
}

TEST(MonitorNames, HostileNamesNeverReachTheViewOrTheFilesRaw) {
    TempFolder folder;
    MonitorSettings settings;
    settings.trayShowTooltips = true;
    settings.generalLog = true;
    settings.acLog = true;
    MonitorHarness h(settings, folder.Path());
    h.monitor->Open({});  // opens the general log; no adapter
    const std::string hostile = std::string("\x1b[2J\xe2\x80\xae") + std::string("x\0y", 3);
    const std::string hostileService = "\x1b]0;owned\x07";
    h.Cycle({{kAc1Mac, hostile, hostileService, 500}});
    h.Cycle({});
    h.monitor->OnSelectionChanged(0);

    const std::string shown = h.view.Everything();
    const std::string table = FormatAcRow(h.Row(0))[2] + FormatAcRow(h.Row(0))[3];
    const std::string generalLog = ReadFile(folder.Path() + "/monitor.log");
    const std::string acLog = ReadFile(folder.Path() + "/00-1b-21-0a-4c-5e.log");
    for (const std::string* text : {&shown, &table, &generalLog, &acLog}) {
        EXPECT_EQ(text->find('\x1b'), std::string::npos) << *text;
        EXPECT_EQ(text->find('\0'), std::string::npos) << *text;
        EXPECT_EQ(text->find('\x07'), std::string::npos) << *text;
        EXPECT_EQ(text->find("\xe2\x80\xae"), std::string::npos) << *text;
    }
    EXPECT_NE(shown.find("AC: NEW:  00:1B:21:0A:4C:5E \\x1b[2J\\u202ex\\x00y"), std::string::npos)
        << shown;
    EXPECT_EQ(FormatAcRow(h.Row(0))[3], "\\x1b]0;owned\\x07");
    // The raw bytes stay in the record for identity.
    EXPECT_EQ(h.Row(0).acName, hostile);
    // Nothing but the MAC names the file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              2);
}

TEST(MonitorNames, LongEscapedNamesAreLoggedWhole) {
    TempFolder folder;
    MonitorSettings settings;
    settings.generalLog = true;
    MonitorHarness h(settings, folder.Path());
    h.monitor->Open({});
    const std::string name(25, '\x1b');  // 100 characters once escaped
    h.Cycle({{kAc1Mac, name, "s", 500}});
    std::string escaped;
    for (int i = 0; i < 25; ++i) escaped += "\\x1b";
    const std::string expected = "AC: NEW:  00:1B:21:0A:4C:5E " + escaped;
    EXPECT_EQ(h.view.LogTexts().back(), expected);
    EXPECT_NE(ReadFile(folder.Path() + "/monitor.log").find(expected + "\n"), std::string::npos);
}

TEST(MonitorStatus, ShowsTheEngineStatusText) {
    MonitorHarness h;
    h.monitor->RefreshStatusText();
    EXPECT_EQ(h.view.status, "334 Inactive");
    h.engine.SetStatus(kLinewatchProbing);
    h.monitor->RefreshStatusText();
    EXPECT_EQ(h.view.status, "335 Monitoring");
    h.engine.SetStatus(0);
    h.monitor->RefreshStatusText();
    EXPECT_EQ(h.view.status, "333 Monitor state is unknown");
}

TEST(MonitorRunning, ClosingWhileAWorkerWaitsInASendDoesNotLockUp) {
    if (const std::string reason = NetnsSandbox::SkipReason(); !reason.empty())
        GTEST_SKIP() << reason;
    NetnsSandbox sandbox;
    ASSERT_TRUE(sandbox.ok());
    const std::string ours = "lwa" + sandbox.Tag();
    ASSERT_TRUE(
        sandbox.AddVethPair(ours, "02:4c:57:20:00:01", "lwb" + sandbox.Tag(), "02:4c:57:20:00:02"));
    // A lock-up would hang the suite; end it with a clear message instead.
    std::atomic<bool> finished{false};
    KtEvent done(true, false);
    std::thread watchdog([&] {
        if (!done.Wait(60000)) {
            std::fprintf(stderr, "Monitor::Close locked up\n");
            std::_Exit(1);
        }
    });
    const bool ran = sandbox.RunInside([&] {
        for (int round = 0; round < 5; ++round) {
            MonitorSettings settings;
            settings.probeIntervalSeconds = 1;
            settings.padoWaitMs = 100;
            MonitorHarness h(settings);
            KtEvent queued(true, false);
            h.monitor->Port().SetWakeUp([&queued] { queued.Set(); });
            ASSERT_TRUE(h.monitor->Open({{ours, "Test adapter", kOurMac}})) << h.view.Everything();
            // The send thread reports its first probe with a blocking Send;
            // stop the engine without draining, while it waits. (Close stops
            // the link watcher first, which would serve the Send on its own.)
            ASSERT_TRUE(queued.Wait(5000));
            h.engine.Stop();
            h.monitor->Close();
            EXPECT_FALSE(h.monitor->IsMonitoring());
            EXPECT_FALSE(h.engine.IsRunning());
        }
        finished = true;
    });
    done.Set();
    watchdog.join();
    ASSERT_TRUE(ran);
    EXPECT_TRUE(finished);
}

namespace {

class MonitorOnVeth : public VethPairTest {
  protected:
    MonitorOnVeth() : VethPairTest("02:4c:57:20:00:01", "02:4c:57:20:0a:01") {}

    // Handles the engines' messages until `done` holds; false after 20 s.
    static bool DrainUntil(Monitor& monitor, const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            monitor.Port().WaitAndDrain(100);
        }
        return true;
    }
};

}  // namespace

TEST_F(MonitorOnVeth, AnAdapterTakenDownEndsEachCycleLikeATimeoutAndSaysSoOnce) {
    ASSERT_TRUE(sandbox_.RunInside([&] {
        constexpr MacAddress kVethAcMac = {0x02, 0x4c, 0x57, 0x20, 0x0a, 0x01};
        PadoResponder responder(peer_, kVethAcMac, kOurMac, 0);
        ASSERT_TRUE(responder.ok());
        MonitorSettings settings;
        settings.probeIntervalSeconds = 1;
        settings.padoWaitMs = 200;
        settings.downAfterUnanswered = 2;
        MonitorHarness h(settings);
        ASSERT_TRUE(h.monitor->Open({{ours_, "Veth adapter", kOurMac}})) << h.view.Everything();
        const auto& rows = h.monitor->Rows();
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] { return !rows.empty() && rows[0]->received >= 2; }))
            << h.view.Everything();

        ASSERT_TRUE(sandbox_.Ip("link set dev " + ours_ + " down"));
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] { return rows[0]->down; })) << h.view.Everything();
        const KtAcRecord& row = *rows[0];
        EXPECT_EQ(FormatRttText(row), "N/A");
        EXPECT_GE(row.lost, 2);
        EXPECT_EQ(row.lost, row.sent - row.received);
        EXPECT_EQ(h.view.LogCount("AC: DOWN:  02:4C:57:20:0A:01 Veth-AC"), 1u);
        // Another failed cycle or two: still said once.
        const int32_t sentWhenDown = row.sent;
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] { return row.sent >= sentWhenDown + 2; }));
        EXPECT_EQ(h.view.LogCount("ERROR: Probes cannot be sent on this adapter"), 1u);
        EXPECT_EQ(h.view.LogCount("INFO: Probes are sent on this adapter again"), 0u);

        ASSERT_TRUE(sandbox_.Ip("link set dev " + ours_ + " up"));
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] { return !row.down; })) << h.view.Everything();
        EXPECT_EQ(h.view.LogCount("INFO: Probes are sent on this adapter again"), 1u);
        EXPECT_EQ(h.view.LogCount("ERROR: Probes cannot be sent on this adapter"), 1u);
        EXPECT_EQ(h.view.LogCount("AC: UP:  02:4C:57:20:0A:01 Veth-AC"), 1u);
        EXPECT_EQ(row.lost, row.sent - row.received);
        h.monitor->Close();
    })) << "cannot enter the sandbox";
}

TEST_F(MonitorOnVeth, ARepluggedAdapterIsMonitoredAgainOnceAndChoosingItAgainRestartsIt) {
    ASSERT_TRUE(sandbox_.RunInside([&] {
        constexpr MacAddress kVethAcMac = {0x02, 0x4c, 0x57, 0x20, 0x0a, 0x01};
        auto responder = std::make_unique<PadoResponder>(peer_, kVethAcMac, kOurMac, 0);
        ASSERT_TRUE(responder->ok());
        MonitorSettings settings;
        settings.probeIntervalSeconds = 1;
        settings.padoWaitMs = 200;
        MonitorHarness h(settings);
        ASSERT_TRUE(h.monitor->Open({{ours_, "Veth adapter", kOurMac}})) << h.view.Everything();
        const auto& rows = h.monitor->Rows();
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] { return !rows.empty() && rows[0]->received >= 2; }))
            << h.view.Everything();

        // Unplugged: the interface and its peer are gone, and come back under
        // their names (with new interface indexes) after a while.
        ASSERT_TRUE(sandbox_.Ip("link del " + ours_));
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] {
            return h.view.LogCount("ERROR: Probes cannot be sent on this adapter") == 1;
        })) << h.view.Everything();
        responder.reset();
        const auto plugged = std::chrono::steady_clock::now();
        ASSERT_TRUE(sandbox_.AddVethPair(ours_, "02:4c:57:20:00:01", peer_, "02:4c:57:20:0a:01"));
        responder = std::make_unique<PadoResponder>(peer_, kVethAcMac, kOurMac, 0);
        ASSERT_TRUE(responder->ok());
        const std::string back = "INFO: " + std::string(kAdapterBackText);
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] {
            return h.view.LogCount(back) == 1 && !rows.empty();
        })) << h.view.Everything();
        std::printf(
            "[ FIGURE   ] replugged adapter listed its AC again after %.3f s\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count());
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] { return rows[0]->received >= 3; }))
            << h.view.Everything();
        EXPECT_EQ(h.view.LogCount("AC: NEW:  02:4C:57:20:0A:01 Veth-AC"), 2u);
        EXPECT_EQ(h.engine.GetStatus(), kLinewatchProbing);
        EXPECT_TRUE(h.monitor->IsMonitoring());

        // Said once; choosing the same adapter again starts it anew.
        h.monitor->SelectAdapter(0);
        ASSERT_TRUE(DrainUntil(*h.monitor, [&] { return !rows.empty() && rows[0]->received >= 2; }))
            << h.view.Everything();
        EXPECT_EQ(h.view.LogCount(back), 1u);
        EXPECT_EQ(h.view.LogCount("Select: Veth adapter"), 2u);
        EXPECT_EQ(h.view.LogCount("AC: NEW:  02:4C:57:20:0A:01 Veth-AC"), 3u);
        h.monitor->Close();
    })) << "cannot enter the sandbox";
}

TEST(MonitorCounts, CountEveryEventAndOutliveAClearedTable) {
    MonitorSettings settings;
    settings.downAfterUnanswered = 1;
    MonitorHarness h(settings);
    h.Cycle({kAc1, kAc2});
    h.Cycle({kAc2});
    h.Cycle({kAc1, kAc2});
    EXPECT_EQ(h.Row(0).downEvents, 1u);
    EXPECT_EQ(h.Row(0).upEvents, 1u);
    EXPECT_EQ(h.Row(1).downEvents, 0u);
    // Every answer lands in the histogram; the miss does not.
    EXPECT_EQ(h.Row(0).rttHistogram.Count(), 2u);
    EXPECT_NEAR(h.Row(0).rttHistogram.SumMs(), 2 * 12.346, 1e-6);
    h.monitor->HandleMessage(WM_LW_CABLE, kCableUnplugged, 0);
    h.monitor->HandleMessage(WM_LW_CABLE, kCableConnected, 0);
    h.monitor->HandleMessage(WM_LW_CAPTURE_ERROR, kCaptureErrorReadFailed, 0);
    h.monitor->Port().Send(WM_LW_PROBE_SEND_FAILED, h.SendProbe());
    h.Cycle({kAc1});

    const MonitorCounts& counts = h.monitor->Counts();
    EXPECT_EQ(counts.probesSent, 4u);
    EXPECT_EQ(counts.probesFailed, 1u);
    EXPECT_EQ(counts.acNew, 3u);  // the cleared table lists AC 1 anew
    EXPECT_EQ(counts.acUp, 1u);
    EXPECT_EQ(counts.acDown, 1u);
    EXPECT_EQ(counts.cableUnplugged, 1u);
    EXPECT_EQ(counts.cableConnected, 1u);
    EXPECT_EQ(counts.captureErrors, 1u);
}
