// The probe engine through the capture helper on a veth pair: the same
// offers, taken with the capture times the helper forwards, while the send
// thread waits for each send's answer that the receive thread reads.
#include "engine/helper_capture_channel.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <vector>

#include "engine/linewatch.h"
#include "engine_test_support.h"
#include "netns_sandbox.h"
#include "pado_responder.h"

namespace {

using namespace std::chrono_literals;

constexpr MacAddress kOurMac = {0x02, 0x4c, 0x57, 0x10, 0x00, 0x01};
constexpr MacAddress kAcMac = {0x02, 0x4c, 0x57, 0x10, 0x0a, 0x01};

class HelperChannelOnVeth : public VethPairTest {
  protected:
    HelperChannelOnVeth() : VethPairTest("02:4c:57:10:00:01", "02:4c:57:10:0a:01") {}
    void Inside(const std::function<void()>& body) { ASSERT_TRUE(sandbox_.RunInside(body)); }
};

}  // namespace

TEST_F(HelperChannelOnVeth, OffersArriveWithCaptureTimesAndTheHelperEndsWithTheChannel) {
    Inside([&] {
        PadoResponder responder(peer_, kAcMac, kOurMac, 0);
        ASSERT_TRUE(responder.ok());
        LinewatchRecorder reports;
        KtLinewatch engine;
        engine.SetSourceMac(&kOurMac);
        engine.SetPadoWaitTime(2000);
        engine.SetProbeInterval(300);
        engine.Connect(reports);
        HelperCaptureChannel::Opening opening =
            HelperCaptureChannel::Start(LW_TEST_CAPTURE_HELPER, ours_, false);
        ASSERT_NE(opening.channel, nullptr) << opening.errorText;
        const pid_t helper = opening.channel->HelperPid();
        engine.AttachChannel(std::move(opening.channel));
        ASSERT_TRUE(engine.Start());
        ASSERT_TRUE(reports.received.WaitForCount(3, 10s)) << responder.OffersSent();
        engine.Stop();
        EXPECT_TRUE(reports.sendFailed.Values().empty());
        const std::vector<KtPadoReply> replies = engine.TakeReplies();
        ASSERT_GE(replies.size(), 3u);
        for (const KtPadoReply& reply : replies) {
            EXPECT_EQ(reply.acMac, kAcMac);
            EXPECT_GT(reply.rtt, 0.0);
            EXPECT_LT(reply.rtt, 2000.0);
        }

        // A source the helper refuses: the send fails, the engine says so.
        const MacAddress group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
        engine.SetSourceMac(&group);
        ASSERT_TRUE(engine.Start());
        ASSERT_TRUE(reports.sendFailed.WaitForCount(1, 10s));
        engine.Stop();
        EXPECT_EQ(engine.GetStatus(), kLinewatchStopped);

        // Closing the channel ends the helper.
        engine.CloseCapture();
        EXPECT_NE(kill(helper, 0), 0);
    });
}
