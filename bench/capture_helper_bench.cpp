// Time to the first concentrator heard, through the capture helper beside in
// process: on one end of a veth pair in a throw-away network namespace, with
// a PADO responder on the other end, each run opens the capture (in process,
// or by starting linewatch-capture), starts the probe engine and waits for
// the first offer. Prints the figures of both ways and the round-trip times
// of the offers, which come from capture timestamps either way. Needs root.
//
//   capture_helper_bench [runs] [path of linewatch-capture]
//     (default 20 runs; the helper of this build)

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/helper_capture_channel.h"
#include "engine/linewatch.h"
#include "engine/netns_sandbox.h"
#include "engine/pado_responder.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FirstOffer {
    double openMs = 0.0;   // until the capture was open
    double offerMs = 0.0;  // until the first offer was taken
    double rttMs = 0.0;    // its round-trip time
};

// The engine's owner for one run: notes the first offer.
class OfferWatch final : public LinewatchOwner {
  public:
    void ProbeSent(uint32_t /*probe*/) override {}
    void ProbeSendFailed(uint32_t /*probe*/) override {}
    void PadoWaitExpired(uint32_t /*probe*/) override {}
    void PadoReceived(uint32_t /*probe*/) override {
        std::scoped_lock guard(lock_);
        offered_ = true;
        arrived_.notify_all();
    }
    void CaptureError(uint32_t /*reason*/) override {}

    // True when an offer came within `timeout`.
    bool WaitForOffer(std::chrono::seconds timeout) {
        std::unique_lock guard(lock_);
        return arrived_.wait_for(guard, timeout, [&] { return offered_; });
    }

  private:
    std::mutex lock_;
    std::condition_variable arrived_;
    bool offered_ = false;
};

// One run: `open` attaches a channel to the engine; false when it failed.
bool RunOnce(const std::function<bool(KtLinewatch&)>& open, FirstOffer& figures) {
    KtLinewatch engine;
    OfferWatch watch;
    engine.Connect(watch);
    const MacAddress mac = {0x02, 0x4c, 0x57, 0x41, 0x00, 0x01};
    engine.SetSourceMac(&mac);
    engine.SetProbeInterval(60000);
    const Clock::time_point start = Clock::now();
    if (!open(engine)) return false;
    const Clock::time_point opened = Clock::now();
    engine.Start();
    const bool heard = watch.WaitForOffer(std::chrono::seconds(5));
    const Clock::time_point end = Clock::now();
    const std::vector<KtPadoReply> replies = engine.TakeReplies();
    engine.Disconnect();
    if (!heard || replies.empty()) return false;
    figures.openMs = std::chrono::duration<double, std::milli>(opened - start).count();
    figures.offerMs = std::chrono::duration<double, std::milli>(end - start).count();
    figures.rttMs = replies.front().rtt;
    return true;
}

void Print(const char* way, std::vector<FirstOffer> runs) {
    const auto column = [&](double FirstOffer::*field) {
        std::vector<double> values;
        for (const FirstOffer& run : runs) values.push_back(run.*field);
        std::sort(values.begin(), values.end());
        return std::vector<double>{values.front(), values[values.size() / 2], values.back()};
    };
    const std::vector<double> open = column(&FirstOffer::openMs);
    const std::vector<double> offer = column(&FirstOffer::offerMs);
    const std::vector<double> rtt = column(&FirstOffer::rttMs);
    std::printf(
        "%-22s %3zu runs  open %7.3f / %7.3f / %7.3f ms  first AC %7.3f / %7.3f / %7.3f ms"
        "  RTT %6.3f / %6.3f / %6.3f ms\n",
        way, runs.size(), open[0], open[1], open[2], offer[0], offer[1], offer[2], rtt[0], rtt[1],
        rtt[2]);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::string helper = argc > 2 ? argv[2] : LW_BENCH_CAPTURE_HELPER;
    if (runs <= 0) {
        std::fprintf(stderr, "usage: %s [runs] [linewatch-capture]\n", argv[0]);
        return 2;
    }
    const std::string reason = NetnsSandbox::SkipReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "capture_helper_bench: %s\n", reason.c_str());
        return 1;
    }
    NetnsSandbox sandbox;
    const std::string ours = "lwa" + sandbox.Tag();
    const std::string peer = "lwb" + sandbox.Tag();
    if (!sandbox.ok() ||
        !sandbox.AddVethPair(ours, "02:4c:57:41:00:01", peer, "02:4c:57:41:0a:01")) {
        std::fprintf(stderr, "capture_helper_bench: cannot build the veth pair\n");
        return 1;
    }
    int exitCode = 1;
    sandbox.RunInside([&] {
        PadoResponder responder(peer, {0x02, 0x4c, 0x57, 0x41, 0x0a, 0x01},
                                {0x02, 0x4c, 0x57, 0x41, 0x00, 0x01}, 0);
        if (!responder.ok()) {
            std::fprintf(stderr, "capture_helper_bench: the responder cannot capture\n");
            return;
        }
        const auto inProcess = [&](KtLinewatch& engine) { return engine.OpenCapture(ours, false); };
        const auto throughHelper = [&](KtLinewatch& engine) {
            HelperCaptureChannel::Opening opening =
                HelperCaptureChannel::Start(helper, ours, false);
            if (!opening.channel) {
                std::fprintf(stderr, "capture_helper_bench: %s\n", opening.errorText.c_str());
                return false;
            }
            engine.AttachChannel(std::move(opening.channel));
            return true;
        };
        std::vector<FirstOffer> direct, helped;
        for (int i = 0; i < runs; ++i) {
            FirstOffer figures;
            if (!RunOnce(inProcess, figures)) return;
            direct.push_back(figures);
            if (!RunOnce(throughHelper, figures)) return;
            helped.push_back(figures);
        }
        std::printf("first AC heard on a veth pair (min / median / max)\n");
        Print("in process", direct);
        Print("through the helper", helped);
        exitCode = 0;
    });
    return exitCode;
}
