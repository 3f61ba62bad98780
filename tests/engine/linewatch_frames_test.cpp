#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "core/threads/message_port.h"
#include "engine/capture_channel.h"
#include "engine/capture_permission.h"
#include "engine/engine_messages.h"
#include "engine/linewatch.h"
#include "engine/log_writer.h"
#include "engine_test_support.h"
#include "linewatch_test_support.h"
#include "netns_sandbox.h"
#include "pado_responder.h"
#include "test_support.h"

using namespace std::chrono_literals;

TEST(LinewatchFrames, OwnProbeThenOfferGivesOneReplyTimedByTheCapture) {
    LinewatchRecorder reports;
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    engine.Connect(reports);

    const uint32_t probe = FeedOwnProbe(engine, 1000, 250);
    const std::vector<uint8_t> pado = AnswerTo(engine, "AC-1", "internet");
    Feed(engine, pado, 1000, 12750);

    const std::vector<KtPadoReply> replies = engine.TakeReplies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].acMac, kAcMac);
    EXPECT_EQ(replies[0].acName, "AC-1");
    EXPECT_EQ(replies[0].serviceName, "internet");
    EXPECT_NEAR(replies[0].rtt, 12.5, 1e-6);
    EXPECT_EQ(replies[0].frameLength, pado.size());
    EXPECT_EQ(replies[0].probe, probe);
    EXPECT_EQ(reports.received.Values(), std::vector<int>{static_cast<int>(probe)});
    EXPECT_TRUE(engine.TakeReplies().empty());
}

TEST(LinewatchFrames, RoundTripSpansASecondBoundary) {
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    FeedOwnProbe(engine, 41, 999900);
    Feed(engine, AnswerTo(engine), 42, 100);
    const std::vector<KtPadoReply> replies = engine.TakeReplies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NEAR(replies[0].rtt, 0.2, 1e-6);
}

TEST(LinewatchFrames, OfferBeforeTheOwnProbeGivesNothing) {
    LinewatchRecorder reports;
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    engine.Connect(reports);

    Feed(engine, AnswerTo(engine), 1000, 500);
    // Sent, but not yet seen leaving.
    engine.RecordProbeSent(1000L * 1000000 + 400);
    Feed(engine, AnswerTo(engine), 1000, 600);
    EXPECT_TRUE(engine.TakeReplies().empty());
    EXPECT_TRUE(reports.received.Values().empty());
}

TEST(LinewatchFrames, OfferAfterTheWaitRanOutGivesNothing) {
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    const uint32_t probe = FeedOwnProbe(engine, 1000, 0);
    engine.EndProbeWait(probe);
    Feed(engine, AnswerTo(engine), 1001, 0);
    EXPECT_TRUE(engine.TakeReplies().empty());
}

TEST(LinewatchFrames, EveryOfferOfOneCycleIsReplied) {
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    FeedOwnProbe(engine, 5, 0);
    Feed(engine, AnswerTo(engine, "AC-1"), 5, 1000);
    Feed(engine, AnswerTo(engine, "AC-2"), 5, 3000);
    const std::vector<KtPadoReply> replies = engine.TakeReplies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].acName, "AC-1");
    EXPECT_NEAR(replies[0].rtt, 1.0, 1e-6);
    EXPECT_EQ(replies[1].acName, "AC-2");
    EXPECT_NEAR(replies[1].rtt, 3.0, 1e-6);
}

TEST(LinewatchFrames, OverlappingProbesAreToldApartByTheCaptureTimeOfTheOwnProbe) {
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    const ProbeFrame probe = engine.GetProbeFrame();
    auto ownProbeAt = [&](long microseconds) {
        Feed(engine, probe.data(), probe.size(), 10, microseconds);
    };
    auto offerAt = [&](long microseconds) { Feed(engine, AnswerTo(engine), 10, microseconds); };
    auto numbers = [&] {
        std::vector<uint32_t> taken;
        for (const KtPadoReply& reply : engine.TakeReplies()) taken.push_back(reply.probe);
        return taken;
    };

    // Probe 1 leaves, is answered; probe 2 (a rediscover) leaves inside the
    // wait of 1 and is answered; the wait of 1 ends, that of 2 runs on.
    const uint32_t first = engine.RecordProbeSent(10L * 1000000 + 0);
    ownProbeAt(20);
    offerAt(500);
    const uint32_t second = engine.RecordProbeSent(10L * 1000000 + 1000);
    offerAt(1010);  // before the capture saw probe 2 leave: still probe 1's
    ownProbeAt(1020);
    offerAt(1500);
    engine.EndProbeWait(first);
    offerAt(2000);
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{first, first, second, second}));
    EXPECT_EQ(second, first + 1);

    // Probe 3 is sent, but the capture misses it leaving; probe 4 is seen.
    // The numbering does not slip: answers after it belong to probe 4.
    engine.EndProbeWait(second);
    engine.RecordProbeSent(10L * 1000000 + 3000);
    offerAt(3500);  // probe 2's wait is over: not taken
    const uint32_t fourth = engine.RecordProbeSent(10L * 1000000 + 4000);
    ownProbeAt(4010);
    offerAt(4500);
    EXPECT_EQ(numbers(), std::vector<uint32_t>{fourth});
    EXPECT_EQ(fourth, second + 2);
}

TEST(LinewatchFrames, OfferToAnotherMacOrForAnotherInstanceGivesNothing) {
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    FeedOwnProbe(engine, 5, 0);
    const ProbeFrame probe = engine.GetProbeFrame();
    Feed(engine, BuildPado(kStationMac, kAcMac, ProbeHostUniq(probe.data()), "AC", "", 0), 5, 10);
    const std::vector<uint8_t> other = BuildPadi(kOurMac, engine.InstanceStamp() + 1);
    Feed(engine, BuildPado(kOurMac, kAcMac, ProbeHostUniq(other.data()), "AC", "", 0), 5, 20);
    EXPECT_TRUE(engine.TakeReplies().empty());
}

// One process watching several adapters makes its engines back to back,
// many within one millisecond; each must still tell its own offers and
// probes from those of the others on the same MAC.
TEST(LinewatchFrames, EnginesMadeTogetherNeverTakeEachOthersOffers) {
    std::vector<std::unique_ptr<KtLinewatch>> engines;
    for (int i = 0; i < 16; ++i) engines.push_back(std::make_unique<KtLinewatch>());
    for (size_t i = 0; i < engines.size(); ++i)
        for (size_t j = i + 1; j < engines.size(); ++j)
            ASSERT_NE(engines[i]->InstanceStamp(), engines[j]->InstanceStamp()) << i << " " << j;

    KtLinewatch& first = *engines[0];
    KtLinewatch& second = *engines[1];
    first.SetSourceMac(&kOurMac);
    second.SetSourceMac(&kOurMac);
    FeedOwnProbe(first, 7, 0);
    const ProbeFrame other = second.GetProbeFrame();
    // The second engine's probe and the answer to it reach the first.
    Feed(first, other.data(), other.size(), 7, 5);
    Feed(first, BuildPado(kOurMac, kAcMac, ProbeHostUniq(other.data()), "AC", "", 0), 7, 20);
    EXPECT_TRUE(first.TakeReplies().empty());
    Feed(first, AnswerTo(first), 7, 30);
    EXPECT_EQ(first.TakeReplies().size(), 1u);
}

TEST(LinewatchFrames, OfferIsReadFromTheCapturedBytesOnly) {
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    FeedOwnProbe(engine, 5, 0);
    // The Host-Uniq comes last; a capture that cut the frame before it must
    // not be matched (and must not be read beyond).
    const std::vector<uint8_t> pado = AnswerTo(engine, "AC", "", 80);
    pcap_pkthdr header = Header(5, 100, pado.size());
    header.caplen = 100;
    engine.HandleFrame(header, pado.data());
    EXPECT_TRUE(engine.TakeReplies().empty());
}

TEST(LinewatchFrames, PadiLinesAreLoggedOnlyWhenTheirFlagIsOn) {
    KtLogWriter writer;
    LinewatchRecorder reports;
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    engine.Connect(reports, &writer);
    const std::vector<uint8_t> foreign = BuildPadi(kStationMac, 1234);
    const std::vector<uint8_t> otherInstance = BuildPadi(kOurMac, engine.InstanceStamp() + 7);

    Feed(engine, foreign, 1, 0);
    Feed(engine, otherInstance, 1, 0);
    FeedOwnProbe(engine, 1, 0);
    EXPECT_TRUE(LoggedTexts(writer).empty());

    engine.SetLogForeignPadi(true);
    Feed(engine, foreign, 2, 0);
    Feed(engine, otherInstance, 2, 0);
    EXPECT_EQ(LoggedTexts(writer), std::vector<std::string>{"PADI:  02:4C:57:10:05:01"});

    engine.SetLogForeignPadi(false);
    engine.SetLogInstancePadi(true);
    Feed(engine, foreign, 3, 0);
    Feed(engine, otherInstance, 3, 0);
    FeedOwnProbe(engine, 3, 0);
    EXPECT_EQ(LoggedTexts(writer),
              std::vector<std::string>{"Line Watchman PADI:  02:4C:57:10:00:01"});
}

TEST(LinewatchFrames, PadiFromOurMacWithoutTheMarkerIsIgnored) {
    KtLogWriter writer;
    LinewatchRecorder reports;
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    engine.Connect(reports, &writer);
    engine.SetLogForeignPadi(true);
    engine.SetLogInstancePadi(true);
    std::vector<uint8_t> client = BuildPadi(kOurMac, engine.InstanceStamp());
    client[kProbeMarkerOffset] = 'X';
    engine.RecordProbeSent(0);
    Feed(engine, client, 1, 0);
    Feed(engine, AnswerTo(engine), 1, 10);
    EXPECT_TRUE(LoggedTexts(writer).empty());
    // Not taken for the own probe: no offer follows it.
    EXPECT_TRUE(engine.TakeReplies().empty());
}

TEST(LinewatchFrames, SourceMacIsTheProbesAndCanBeZeroed) {
    KtLinewatch engine;
    EXPECT_EQ(engine.GetSourceMac(), MacAddress{});
    engine.SetSourceMac(&kOurMac);
    EXPECT_EQ(engine.GetSourceMac(), kOurMac);
    const ProbeFrame probe = engine.GetProbeFrame();
    EXPECT_TRUE(std::equal(kOurMac.begin(), kOurMac.end(), probe.begin() + 6));
    engine.SetSourceMac(nullptr);
    EXPECT_EQ(engine.GetSourceMac(), MacAddress{});
}

TEST(LinewatchFrames, StampIsTakenOnceAndCarriedBigEndian) {
    KtLinewatch engine;
    const ProbeFrame probe = engine.GetProbeFrame();
    const uint32_t carried = (uint32_t{probe[41]} << 24) | (uint32_t{probe[42]} << 16) |
                             (uint32_t{probe[43]} << 8) | uint32_t{probe[44]};
    EXPECT_EQ(carried, engine.InstanceStamp());
    EXPECT_EQ(engine.GetStatus(), kLinewatchStopped);
    EXPECT_EQ(engine.GetProbeInterval(), 30000);
    EXPECT_EQ(engine.GetPadoWaitTime(), 1000);
}
