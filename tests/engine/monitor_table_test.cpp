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
