#include "engine/monitor.h"

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
#include "engine/net_watch_media.h"
#include "engine_test_support.h"
#include "netns_sandbox.h"
#include "pado_responder.h"
#include "recording_view.h"
#include "test_support.h"

namespace {

constexpr MacAddress kOurMac = {0x02, 0x4c, 0x57, 0x20, 0x00, 0x01};
constexpr MacAddress kCustomMac = {0x02, 0x4c, 0x57, 0x20, 0x00, 0x99};
constexpr MacAddress kAc1Mac = {0x00, 0x1b, 0x21, 0x0a, 0x4c, 0x5e};
constexpr MacAddress kAc2Mac = {0x02, 0x4c, 0x57, 0x20, 0x0a, 0x02};

struct Offer {
    MacAddress mac;
    std::string acName;
    std::string service;
    long rttMicroseconds;
};

// A monitor on a real engine, fed the frames the receive thread would read
// (through KtLinewatch::HandleFrame) and the messages the send and PADO-wait
// threads would send, all on this (the owner) thread.
class MonitorHarness {
  public:
    explicit MonitorHarness(MonitorSettings settings = {}, const std::string& logFolder = {}) {
        if (!logFolder.empty()) settings.logDirectory = logFolder;
        monitor = std::make_unique<Monitor>(engine, media, view, settings, "/nonexistent-program");
        engine.SetSourceMac(&kOurMac);
    }

    // One probe cycle: the probe goes out, the capture sees it leave at
    // `now`, the offers arrive after their RTT, the wait runs out.
    void Cycle(const std::vector<Offer>& offers) {
        const uint32_t probe = SendProbe();
        Report(probe);
        SeeProbeLeave();
        Answer(offers);
        EndWait(probe);
        now_ += 1000000;
    }

    // A cycle in which the answers are captured and reported before the send
    // thread's report of the probe is handled (a fast segment).
    void CycleWithOvertakingReplies(const std::vector<Offer>& offers) {
        const uint32_t probe = SendProbe();
        SeeProbeLeave();
        Answer(offers);
        Report(probe);
        EndWait(probe);
        now_ += 1000000;
    }

    // The steps of a cycle, for tests that interleave cycles. SendProbe
    // records a probe leaving now (it is seen 10 µs later).
    uint32_t SendProbe() { return engine.RecordProbeSent(now_); }
    void Report(uint32_t probe) { monitor->Port().Send(WM_LW_PADI_SENT, probe); }
    void SeeProbeLeave() {
        const ProbeFrame probe = engine.GetProbeFrame();
        Feed(probe.data(), probe.size(), 10);
    }
    // The offers, captured after their RTT from the probe seen last.
    void Answer(const std::vector<Offer>& offers) {
        const ProbeFrame probe = engine.GetProbeFrame();
        for (const Offer& offer : offers) {
            const std::vector<uint8_t> pado = BuildPado(
                kOurMac, offer.mac, ProbeHostUniq(probe.data()), offer.acName, offer.service);
            Feed(pado.data(), pado.size(), 10 + offer.rttMicroseconds);
        }
    }
    // As the PADO-wait thread does it: the engine first, then the report.
    void EndWait(uint32_t probe) {
        engine.EndProbeWait(probe);
        monitor->Port().Send(WM_LW_PADO_TIMEOUT, probe);
    }
    void Advance(long microseconds) { now_ += microseconds; }

    const KtAcRecord& Row(size_t i) { return *monitor->Rows().at(i); }

    KtLinewatch engine;
    KtNetWatchMedia media;
    RecordingView view;
    std::unique_ptr<Monitor> monitor;

  private:
    void Feed(const uint8_t* data, size_t length, long offsetMicroseconds) {
        engine.HandleFrame(CaptureHeader(now_ + offsetMicroseconds, length), data);
    }

    long now_ = 1000L * 1000000;
};

const Offer kAc1{kAc1Mac, "access1", "internet", 12346};
// Wire length of an offer built by BuildPado: headers 20, AC-Name and
// Service-Name tags, a 24-byte cookie tag and the 21-byte Host-Uniq tag.
std::string PadoLength(const Offer& offer) {
    return std::to_string(20 + 4 + offer.acName.size() + 4 + offer.service.size() + 24 + 21);
}
const Offer kAc2{kAc2Mac, "access2", "video", 800};

}  // namespace

TEST(MonitorTable, CountsSentReceivedLostPerCycle) {
    MonitorHarness h;
    h.Cycle({kAc1});
    ASSERT_EQ(h.monitor->Rows().size(), 1u);
    EXPECT_EQ(FormatAcRow(h.Row(0)), (AcRowTexts{"UP", "00:1B:21:0A:4C:5E", "access1", "internet",
                                                 "12.346", "1", "1", "0"}));
    h.Cycle({kAc1});
    EXPECT_EQ(FormatAcRow(h.Row(0))[5], "2");
    EXPECT_EQ(FormatAcRow(h.Row(0))[6], "2");
    EXPECT_EQ(FormatAcRow(h.Row(0))[7], "0");
    EXPECT_EQ(h.Row(0).samples, 2);
    EXPECT_EQ(h.Row(0).history.Count(), 2u);
    EXPECT_EQ(h.view.LogCount("AC: NEW:  00:1B:21:0A:4C:5E access1"), 1u);
    EXPECT_EQ(h.view.cycles, 2);
}

TEST(MonitorTable, OffersReadWhileTheOwnerIsBusyAllCountInTheirCycle) {
    MonitorHarness h;
    const uint32_t probe = h.SendProbe();
    h.Report(probe);
    h.SeeProbeLeave();
    std::vector<Offer> offers;
    for (int i = 0; i < 300; ++i) {
        const MacAddress mac = {
            0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        offers.push_back({mac, "ac" + std::to_string(i), "internet", 100 + i});
    }
    // The receive thread reads every offer while the owner handles nothing:
    // it must never wait for the owner, or offers in time would be read
    // after the wait and dropped.
    auto reading = std::async(std::launch::async, [&] { h.Answer(offers); });
    const bool readAlone = reading.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(readAlone) << "the receive thread waited for the owner";
    while (reading.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        h.monitor->Port().Drain();
    h.EndWait(probe);
    ASSERT_EQ(h.monitor->Rows().size(), offers.size());
    EXPECT_EQ(FormatAcRow(h.Row(299))[6], "1");
    const auto texts = h.view.LogTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& text) { return text.starts_with("AC: NEW:"); }),
              static_cast<long>(offers.size()));
    // The next cycle's offers come in through the one message again.
    h.Cycle({offers[0]});
    EXPECT_EQ(FormatAcRow(h.Row(0))[6], "2");
}

TEST(MonitorTable, UnansweredShowsNaAndGoesDownOnceAtThreshold) {
    MonitorSettings settings;
    settings.downAfterUnanswered = 2;
    MonitorHarness h(settings);
    h.Cycle({kAc1});
    h.Cycle({});
    EXPECT_EQ(FormatRttText(h.Row(0)), "N/A");
    EXPECT_FALSE(h.Row(0).down);
    EXPECT_EQ(h.Row(0).history.ValueAt(1), -1.0);
    h.Cycle({});
    EXPECT_TRUE(h.Row(0).down);
    EXPECT_EQ(AcRowIcon(h.Row(0)), 1);
    h.Cycle({});
    EXPECT_EQ(FormatAcRow(h.Row(0))[5], "4");
    EXPECT_EQ(FormatAcRow(h.Row(0))[7], "3");
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E access1"), 1u);

    h.Cycle({kAc1});
    h.Cycle({kAc1});
    EXPECT_FALSE(h.Row(0).down);
    EXPECT_EQ(FormatRttText(h.Row(0)), "12.346");
    EXPECT_EQ(h.view.LogCount("AC: UP:  00:1B:21:0A:4C:5E access1"), 1u);
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E access1"), 1u);
    // Lost is recomputed at each reply: 6 sent, 3 received.
    EXPECT_EQ(FormatAcRow(h.Row(0))[7], "3");
}

TEST(MonitorTable, AnswersThatOvertakeTheReportOfTheirProbeAreCountedAfterIt) {
    MonitorHarness h;
    h.CycleWithOvertakingReplies({kAc1});
    ASSERT_EQ(h.monitor->Rows().size(), 1u);
    EXPECT_EQ(FormatAcRow(h.Row(0)), (AcRowTexts{"UP", "00:1B:21:0A:4C:5E", "access1", "internet",
                                                 "12.346", "1", "1", "0"}));
    h.CycleWithOvertakingReplies({kAc1});
    h.Cycle({kAc1});
    h.CycleWithOvertakingReplies({kAc1});
    EXPECT_EQ(FormatAcRow(h.Row(0)), (AcRowTexts{"UP", "00:1B:21:0A:4C:5E", "access1", "internet",
                                                 "12.346", "4", "4", "0"}));
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E access1"), 0u);
    // A cycle without answers still counts as missed.
    h.CycleWithOvertakingReplies({});
    EXPECT_TRUE(h.Row(0).down);
}

namespace {

// What no row may ever show for concentrators that answer every probe.
void ExpectSaneRows(MonitorHarness& h, const std::string& step) {
    for (size_t i = 0; i < h.monitor->Rows().size(); ++i) {
        const KtAcRecord& row = h.Row(i);
        EXPECT_GE(row.lost, 0) << step << ", row " << i;
        EXPECT_LE(row.received, row.sent) << step << ", row " << i;
        EXPECT_FALSE(row.down) << step << ", row " << i;
        EXPECT_NE(FormatRttText(row), "N/A") << step << ", row " << i;
    }
}

}  // namespace

TEST(MonitorCycles, OverlappingCyclesCountEveryAnswerWithItsOwnProbe) {
    MonitorHarness h;  // down after one missed probe
    // Interval equal to the wait: each probe leaves as the wait of the one
    // before ends, and that end is reported between the new probe's report
    // and its answer.
    uint32_t waiting = 0;
    for (int cycle = 0; cycle < 10; ++cycle) {
        const uint32_t probe = h.SendProbe();
        h.Report(probe);
        ExpectSaneRows(h, "reported " + std::to_string(probe));
        if (waiting != 0) h.EndWait(waiting);
        ExpectSaneRows(h, "wait over " + std::to_string(waiting));
        h.SeeProbeLeave();
        h.Answer({kAc1});
        ExpectSaneRows(h, "answered " + std::to_string(probe));
        waiting = probe;
        h.Advance(1000000);
    }
    h.EndWait(waiting);
    // Rediscover inside the wait: a second probe leaves and is answered
    // (its answers overtaking its report) before the first one's wait ends.
    for (int cycle = 0; cycle < 5; ++cycle) {
        const uint32_t first = h.SendProbe();
        h.Report(first);
        h.SeeProbeLeave();
        h.Answer({kAc1, kAc2});
        h.Advance(300000);
        const uint32_t second = h.SendProbe();
        h.SeeProbeLeave();
        h.Answer({kAc1, kAc2});
        ExpectSaneRows(h, "overtaken " + std::to_string(second));
        h.Report(second);
        ExpectSaneRows(h, "rediscover " + std::to_string(second));
        h.EndWait(first);
        ExpectSaneRows(h, "wait over " + std::to_string(first));
        h.EndWait(second);
        h.Advance(1000000);
    }
    ASSERT_EQ(h.monitor->Rows().size(), 2u);
    EXPECT_EQ(FormatAcRow(h.Row(0)), (AcRowTexts{"UP", "00:1B:21:0A:4C:5E", "access1", "internet",
                                                 "12.346", "20", "20", "0"}));
    EXPECT_EQ(FormatAcRow(h.Row(1)), (AcRowTexts{"UP", "02:4C:57:20:0A:02", "access2", "video",
                                                 "0.800", "10", "10", "0"}));
    EXPECT_EQ(h.Row(0).history.Count(), 20u);
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E access1"), 0u);
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  02:4C:57:20:0A:02 access2"), 0u);

    // A probe nobody answers still ends in "N/A" and DOWN, and an answer
    // that comes after its wait is not counted.
    const uint32_t unanswered = h.SendProbe();
    h.Report(unanswered);
    h.SeeProbeLeave();
    h.EndWait(unanswered);
    h.Answer({kAc1});
    h.monitor->Port().Drain();
    EXPECT_EQ(FormatAcRow(h.Row(0))[4], "N/A");
    EXPECT_EQ(FormatAcRow(h.Row(0))[5], "21");
    EXPECT_EQ(FormatAcRow(h.Row(0))[6], "20");
    EXPECT_EQ(FormatAcRow(h.Row(0))[7], "1");
    EXPECT_TRUE(h.Row(0).down);
}

TEST(MonitorTable, DefaultThresholdDeclaresDownAtTheEndOfTheFirstMissedCycle) {
    MonitorHarness h;
    h.Cycle({kAc1});
    h.Cycle({});
    EXPECT_TRUE(h.Row(0).down);
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E access1"), 1u);
}

TEST(MonitorTable, SameMacWithTwoAcNamesGivesTwoRows) {
    MonitorHarness h;
    h.Cycle({{kAc1Mac, "alpha", "internet", 500}, {kAc1Mac, "beta", "internet", 600}});
    ASSERT_EQ(h.monitor->Rows().size(), 2u);
    EXPECT_EQ(h.Row(0).acName, "alpha");
    EXPECT_EQ(h.Row(1).acName, "beta");
}

TEST(MonitorTable, SameMacAndNameWithOtherServiceUpdatesOneRowKeepingTheFirstService) {
    MonitorHarness h;
    h.Cycle({{kAc1Mac, "alpha", "video", 500}, {kAc1Mac, "alpha", "voice", 600}});
    ASSERT_EQ(h.monitor->Rows().size(), 1u);
    EXPECT_EQ(h.Row(0).serviceName, "video");
    // Both offers answer one probe: one answer received, not two.
    EXPECT_EQ(h.Row(0).received, 1);
    EXPECT_EQ(h.Row(0).sent, 1);
    EXPECT_NEAR(h.Row(0).lastRtt, 0.5, 1e-6);
}

TEST(MonitorTable, NamesDifferingOnlyAfterANulByteAreTwoConcentrators) {
    MonitorHarness h;
    h.Cycle({{kAc1Mac, std::string("ac\0one", 6), "s", 500},
             {kAc1Mac, std::string("ac\0two", 6), "s", 500}});
    EXPECT_EQ(h.monitor->Rows().size(), 2u);
}

TEST(MonitorTable, LongServiceNameIsCutTo63Bytes) {
    MonitorHarness h;
    h.Cycle({{kAc1Mac, "alpha", std::string(200, 's'), 500}});
    EXPECT_EQ(h.Row(0).serviceName.size(), 63u);
}

TEST(MonitorNames, TwinCyrillicNamesOnOneMacAreTwoRowsAndOnlyTheSilentOneGoesDown) {
    const std::string one = "Москва-Центр-БРАС-01";  // 20 characters, 35 bytes
    const std::string two = "Москва-Центр-БРАС-02";
    MonitorSettings settings;
    settings.downAfterUnanswered = 2;
    settings.trayShowTooltips = true;
    MonitorHarness h(settings);
    h.Cycle({{kAc1Mac, one, "internet", 500}, {kAc1Mac, two, "internet", 600}});
    ASSERT_EQ(h.monitor->Rows().size(), 2u);
    EXPECT_EQ(FormatAcRow(h.Row(0))[2], one);
    EXPECT_EQ(FormatAcRow(h.Row(1))[2], two);
    EXPECT_EQ(h.view.LogCount("AC: NEW:  00:1B:21:0A:4C:5E " + one), 1u);
    EXPECT_EQ(h.view.labels.back(), "00:1B:21:0A:4C:5E  " + one);

    h.Cycle({{kAc1Mac, two, "internet", 600}});
    h.Cycle({{kAc1Mac, two, "internet", 600}});
    EXPECT_TRUE(h.Row(0).down);
    EXPECT_FALSE(h.Row(1).down);
    EXPECT_EQ(FormatAcRow(h.Row(0)),
              (AcRowTexts{"DOWN", "00:1B:21:0A:4C:5E", one, "internet", "N/A", "3", "1", "2"}));
    EXPECT_EQ(h.Row(1).received, 3);
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E " + one), 1u);
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E " + two), 0u);
    EXPECT_EQ(h.view.balloons.back(), "AC DOWN:|2|00:1B:21:0A:4C:5E " + one);

    // Longer names are cut after their 25th character, services after their
    // 63rd, never inside one.
    std::string service;
    for (int i = 0; i < 20; ++i) service += "Сеть";
    h.Cycle({{kAc2Mac, "Москва-Центр-БРАС-Резерв-Север-01", service, 500}});
    EXPECT_EQ(h.Row(2).acName, "Москва-Центр-БРАС-Резерв-");
    EXPECT_EQ(h.Row(2).serviceName, service.substr(0, 15 * 8) + "Сет");
    for (const std::string& line : h.view.log) EXPECT_EQ(line.find("\\x"), std::string::npos);
}

TEST(MonitorTable, RemoveSelectedDeletesTheRowAndAReplyBringsItBackAsNew) {
    MonitorHarness h;
    h.Cycle({kAc1, kAc2});
    h.monitor->RemoveSelected();  // row 0 was selected by AC NEW
    ASSERT_EQ(h.monitor->Rows().size(), 1u);
    EXPECT_EQ(h.Row(0).acName, "access2");
    EXPECT_EQ(h.monitor->SelectedRow(), -1);
    h.monitor->RemoveSelected();  // nothing selected: nothing happens
    EXPECT_EQ(h.monitor->Rows().size(), 1u);
    h.Cycle({kAc1, kAc2});
    EXPECT_EQ(h.view.LogCount("AC: NEW:  00:1B:21:0A:4C:5E access1"), 2u);
}

TEST(MonitorTable, ClearTableEmptiesItAndShowsTheAlarmIcon) {
    MonitorHarness h;
    h.Cycle({kAc1});
    EXPECT_TRUE(h.monitor->TrayUp());
    h.monitor->ClearTable();
    EXPECT_TRUE(h.monitor->Rows().empty());
    EXPECT_FALSE(h.monitor->TrayUp());
    EXPECT_EQ(h.view.tray.back(), false);
}

TEST(MonitorTray, EmptyTableAtTheEndOfACycleLeavesTheTrayDown) {
    MonitorHarness h;
    h.Cycle({});
    EXPECT_FALSE(h.monitor->TrayUp());
    ASSERT_FALSE(h.view.tray.empty());
    EXPECT_FALSE(h.view.tray.back());
}

TEST(MonitorTray, UpWhileAnyAcAnswersDownWhenAllAreDown) {
    MonitorHarness h;
    h.Cycle({kAc1, kAc2});
    EXPECT_TRUE(h.monitor->TrayUp());
    h.Cycle({kAc2});
    EXPECT_TRUE(h.monitor->TrayUp());
    h.Cycle({});
    EXPECT_FALSE(h.monitor->TrayUp());
    h.Cycle({kAc1});
    EXPECT_TRUE(h.monitor->TrayUp());
    EXPECT_TRUE(h.view.tray.back());
}

TEST(MonitorTray, FollowsTheSelectedAcWhenAskedTo) {
    MonitorSettings settings;
    settings.trayShowAcState = true;
    MonitorHarness h(settings);
    h.Cycle({kAc1, kAc2});
    EXPECT_EQ(h.monitor->SelectedRow(), 0);  // only the first AC selects itself
    h.Cycle({kAc2});                         // the selected AC 1 is down now
    EXPECT_FALSE(h.monitor->TrayUp());
    h.monitor->OnSelectionChanged(1);
    EXPECT_TRUE(h.monitor->TrayUp());
    EXPECT_TRUE(h.view.tray.back());
    EXPECT_EQ(h.view.labels.back(), "02:4C:57:20:0A:02  access2");
    h.monitor->OnSelectionChanged(0);
    EXPECT_FALSE(h.monitor->TrayUp());
    EXPECT_FALSE(h.view.tray.back());
}

TEST(MonitorTray, FollowingTheSelectionWithNothingSelectedFallsBackToAllRows) {
    MonitorSettings settings;
    settings.trayShowAcState = true;
    MonitorHarness h(settings);
    h.Cycle({kAc1, kAc2});
    h.monitor->RemoveSelected();  // AC 1 goes; nothing is selected
    ASSERT_EQ(h.monitor->SelectedRow(), -1);
    h.Cycle({kAc2});  // AC 2 still answers: green
    EXPECT_TRUE(h.monitor->TrayUp());
    h.Cycle({});  // every listed AC is down: orange, though none is selected
    EXPECT_FALSE(h.monitor->TrayUp());
    EXPECT_FALSE(h.view.tray.back());
    h.Cycle({kAc2});  // an answer of an unselected row brings green back
    EXPECT_TRUE(h.monitor->TrayUp());
    EXPECT_TRUE(h.view.tray.back());
}

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

namespace {

// Offers from `count` concentrators never heard before, as a station on the
// segment can invent them.
std::vector<Offer> MadeUpOffers(size_t count, size_t& next) {
    std::vector<Offer> offers;
    for (size_t i = 0; i < count; ++i, ++next)
        offers.push_back({{0x02, 0x00, 0x00, static_cast<uint8_t>(next >> 16),
                           static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next)},
                          "Fake-" + std::to_string(next),
                          "",
                          300});
    return offers;
}

}  // namespace

// A flood of made-up concentrators fills the table to its bound and no
// further: the rest are counted, the log says so once per filling and once
// when room comes back, and the listed ACs go on being counted (down and up).
TEST(MonitorTable, StopsAtItsBoundAndKeepsCountingTheListedAcs) {
    MonitorHarness h;
    const std::string fullLine = "ERROR: " + AcTableFullText();
    size_t next = 1;

    std::vector<Offer> offers = MadeUpOffers(kMaxAcRows + 100, next);
    offers.insert(offers.begin(), kAc1);
    h.Cycle(offers);
    EXPECT_EQ(h.monitor->Rows().size(), kMaxAcRows);
    EXPECT_EQ(h.monitor->Counts().offersUnlisted, 101u);
    EXPECT_EQ(h.monitor->Counts().acNew, kMaxAcRows);
    EXPECT_EQ(h.view.LogCount(fullLine), 1u);

    // Full: new ones are only counted, the listed AC 1 answers, goes down
    // and comes back up.
    offers = MadeUpOffers(500, next);
    offers.push_back(kAc1);
    h.Cycle(offers);
    h.Cycle(MadeUpOffers(500, next));
    EXPECT_TRUE(h.Row(0).down);
    h.Cycle({kAc1});
    EXPECT_FALSE(h.Row(0).down);
    EXPECT_EQ(FormatAcRow(h.Row(0))[6], "3");
    EXPECT_EQ(h.view.LogCount("AC: DOWN:  00:1B:21:0A:4C:5E access1"), 1u);
    EXPECT_EQ(h.view.LogCount("AC: UP:  00:1B:21:0A:4C:5E access1"), 1u);
    EXPECT_EQ(h.monitor->Rows().size(), kMaxAcRows);
    EXPECT_EQ(h.monitor->Counts().offersUnlisted, 1101u);
    EXPECT_EQ(h.view.LogCount(fullLine), 1u);

    // A removed row makes room, said once; the next new AC fills it and the
    // table is full again.
    h.monitor->OnSelectionChanged(5);
    h.monitor->RemoveSelected();
    h.monitor->RemoveSelected();
    EXPECT_EQ(h.view.LogCount(std::string("INFO: ") + std::string(kAcTableRoomText)), 1u);
    h.Cycle(MadeUpOffers(3, next));
    EXPECT_EQ(h.monitor->Rows().size(), kMaxAcRows);
    EXPECT_EQ(h.monitor->Rows().back()->acName, "Fake-" + std::to_string(next - 3));
    EXPECT_EQ(h.view.LogCount(fullLine), 2u);
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
