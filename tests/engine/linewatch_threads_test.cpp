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

namespace {

// Writes frames with their capture times into a savefile and opens it for
// reading, so the real receive loop can be fed without a network.
pcap_t* SavefileWith(const std::vector<std::pair<std::vector<uint8_t>, pcap_pkthdr>>& frames,
                     const std::string& path) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, kCaptureSnapLength);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    if (dumper == nullptr) {
        pcap_close(dead);
        return nullptr;
    }
    for (const auto& [bytes, header] : frames) {
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    char error[PCAP_ERRBUF_SIZE] = {};
    return pcap_open_offline(path.c_str(), error);
}

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "-" +
           std::to_string(getpid()) + ".pcap";
}

}  // namespace

TEST(LinewatchReceiveLoop, MatchesAnOfferReadFromTheCapture) {
    LinewatchRecorder reports;
    KtLinewatch engine;
    engine.SetSourceMac(&kOurMac);
    engine.Connect(reports);
    const ProbeFrame probe = engine.GetProbeFrame();
    const std::vector<uint8_t> own(probe.begin(), probe.end());
    const std::vector<uint8_t> pado = AnswerTo(engine, "Long-Offer", "svc", 120);
    const std::string path = TempPath("lw-receive");
    pcap_t* capture = SavefileWith(
        {{own, Header(70, 10, own.size())}, {pado, Header(70, 80, pado.size())}}, path);
    ASSERT_NE(capture, nullptr);
    engine.AttachCapture(PcapHandle(capture));
    // The probe the savefile shows leaving; the engine's own sends fail on
    // a savefile, and their numbers come after it.
    const uint32_t number = engine.RecordProbeSent(70L * 1000000);
    ASSERT_TRUE(engine.Start());
    ASSERT_TRUE(reports.received.WaitForCount(1));
    engine.Stop();
    std::remove(path.c_str());

    const std::vector<KtPadoReply> replies = engine.TakeReplies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].acName, "Long-Offer");
    EXPECT_NEAR(replies[0].rtt, 0.07, 1e-6);
    EXPECT_GT(replies[0].frameLength, 100u);
    EXPECT_EQ(replies[0].probe, number);
}

TEST(LinewatchReceiveLoop, ReportsAFailingCaptureOnceWhileItKeepsFailing) {
    LinewatchRecorder reports;
    KtLinewatch engine;
    engine.Connect(reports);
    engine.SetProbeInterval(100);
    // A dead handle fails every read (and every send).
    engine.AttachCapture(PcapHandle(pcap_open_dead(DLT_EN10MB, kCaptureSnapLength)));
    ASSERT_TRUE(engine.Start());
    ASSERT_TRUE(reports.captureErrors.WaitForCount(1));
    // Four failed sends 100 ms apart: the reads were retried meanwhile, and
    // none may report again.
    ASSERT_TRUE(reports.sendFailed.WaitForCount(4));
    ASSERT_TRUE(reports.expired.WaitForCount(4));
    engine.Stop();
    EXPECT_EQ(reports.captureErrors.Values(), std::vector<int>{kCaptureErrorReadFailed});
    // Every attempt is numbered, and a failed one's wait ends at once.
    const std::vector<int> failed = reports.sendFailed.Values();
    for (size_t i = 0; i < failed.size(); ++i) EXPECT_EQ(failed[i], static_cast<int>(i + 1));
    const std::vector<int> ended = reports.expired.Values();
    EXPECT_EQ(std::vector<int>(ended.begin(), ended.begin() + 4),
              std::vector<int>(failed.begin(), failed.begin() + 4));
    EXPECT_EQ(engine.GetStatus(), kLinewatchStopped);
}

TEST(LinewatchReceiveLoop, StartNeedsACapture) {
    KtLinewatch engine;
    EXPECT_FALSE(engine.Start());
    EXPECT_FALSE(engine.IsRunning());
}

TEST(LinewatchCapture, OpeningAMissingDeviceFailsAndLeavesNoHandle) {
    KtLinewatch engine;
    EXPECT_FALSE(engine.OpenCapture("lw-no-such-if0", false));
    EXPECT_FALSE(engine.IsCaptureOpen());
    EXPECT_FALSE(engine.LastCaptureError().empty());
}

namespace {

// Changes CAP_NET_RAW of the calling thread only.
bool SetNetRaw(bool effective, bool permitted) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const uint32_t bit = 1u << (CAP_NET_RAW % 32);
    auto& word = data[CAP_NET_RAW / 32];
    word.effective = effective ? (word.effective | bit) : (word.effective & ~bit);
    word.permitted = permitted ? (word.permitted | bit) : (word.permitted & ~bit);
    return syscall(SYS_capset, &header, data) == 0;
}

// Runs body on a thread of its own, whose capabilities it may change.
void OnOwnThread(const std::function<void()>& body) {
    std::thread(body).join();
}

}  // namespace

TEST(CapturePermission, HintGivesTheGroupCommandThatGrantsIt) {
    EXPECT_EQ(CapturePermissionHint("alice"),
              "Capturing network frames needs membership of the linewatch group.\n"
              "Join it with: sudo usermod -aG linewatch alice (then log in again)\n");
    EXPECT_NE(CapturePermissionHint("it's me").find("usermod -aG linewatch 'it'\\''s me' "),
              std::string::npos);
    EXPECT_NE(CapturePermissionHint(CurrentUserName()).find(CurrentUserName()), std::string::npos);
}

TEST(CapturePermission, PermittedOnlyIsRaisedJustForTheOpening) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a thread CAP_NET_RAW";
    OnOwnThread([] {
        ASSERT_TRUE(SetNetRaw(false, true));
        EXPECT_TRUE(HasCapturePermission());
        CaptureOpening opening = OpenDiscoveryCapture("lo", false);
        ASSERT_NE(opening.handle, nullptr) << opening.errorText;
        EXPECT_EQ(pcap_snapshot(opening.handle.get()), kCaptureSnapLength);
        // Neither packet socket may pass to a program started later.
        for (pcap_t* handle : {opening.handle.get(), opening.sender.get()}) {
            const int flags = fcntl(pcap_get_selectable_fd(handle), F_GETFD);
            EXPECT_NE(flags & FD_CLOEXEC, 0) << "flags " << flags;
        }
        // Lowered again afterwards.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
        EXPECT_EQ(data[CAP_NET_RAW / 32].effective & (1u << (CAP_NET_RAW % 32)), 0u);
    });
}

TEST(CapturePermission, WithoutCapabilityAHelperItMayNotRunIsToldApart) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to take CAP_NET_RAW away from a thread";
    // A helper without execute permission refuses to start as one the user
    // is not in the group of does.
    TempFolder folder;
    const std::string helper = folder.Path() + "/linewatch-capture";
    { std::ofstream(helper) << "#!/bin/sh\n"; }
    ASSERT_EQ(chmod(helper.c_str(), 0644), 0);
    ASSERT_EQ(setenv("LW_CAPTURE_HELPER", helper.c_str(), 1), 0);
    OnOwnThread([] {
        ASSERT_TRUE(SetNetRaw(false, false));
        EXPECT_FALSE(HasCapturePermission());
        KtLinewatch engine;
        EXPECT_FALSE(engine.OpenCapture("lo", false));
        EXPECT_TRUE(engine.LastCapturePermissionDenied()) << engine.LastCaptureError();
        EXPECT_FALSE(engine.IsCaptureOpen());
    });
    unsetenv("LW_CAPTURE_HELPER");
}

namespace {

// An engine owner that sends one kind of report to the owner's port, and so
// blocks the engine thread until the owner has handled it, and stops the
// workers through that port.
class SendingOwner final : public LinewatchOwner {
  public:
    SendingOwner(MessagePort& port, uint32_t message, KtEvent& entered)
        : port_(port), message_(message), entered_(entered) {}
    void ProbeSent(uint32_t probe) override { SendIf(WM_LW_PADI_SENT, probe); }
    void ProbeSendFailed(uint32_t /*probe*/) override {}
    void PadoWaitExpired(uint32_t /*probe*/) override {}
    void PadoReceived(uint32_t /*probe*/) override {}
    void CaptureError(uint32_t reason) override { SendIf(WM_LW_CAPTURE_ERROR, reason); }
    void StopWorker(KtThread& worker) override { port_.StopAndWait(worker); }

  private:
    void SendIf(uint32_t message, uint32_t value) {
        if (message != message_) return;
        entered_.Set();
        port_.Send(message_, value);
    }

    MessagePort& port_;
    const uint32_t message_;
    KtEvent& entered_;
};

// Runs body on a thread of its own and fails (ending the program rather than
// hanging it) when it does not return within the deadline.
template <class Body>
auto RunWithDeadline(Body body, std::chrono::seconds deadline) {
    auto result = std::async(std::launch::async, body);
    if (result.wait_for(deadline) != std::future_status::ready) {
        ADD_FAILURE() << "did not finish within " << deadline.count() << " s";
        std::fflush(stdout);
        std::abort();
    }
    return result.get();
}

}  // namespace

TEST(LinewatchStop, DoesNotHangWhileAWorkerIsBlockedInASendToTheStoppingThread) {
    for (int round = 0; round < 25; ++round) {
        const int handled = RunWithDeadline(
            [] {
                int count = 0;
                MessagePort port([&count](uint32_t msg, uintptr_t wParam, intptr_t) {
                    if (msg == WM_LW_CAPTURE_ERROR && wParam == 1) ++count;
                });
                KtEvent entered(true, false);
                SendingOwner owner(port, WM_LW_CAPTURE_ERROR, entered);
                KtLinewatch engine;
                engine.Connect(owner);
                engine.AttachCapture(PcapHandle(pcap_open_dead(DLT_EN10MB, kCaptureSnapLength)));
                engine.Start();
                if (!entered.Wait(5000)) return -1;
                engine.Stop();
                return count;
            },
            30s);
        ASSERT_EQ(handled, 1) << "round " << round;
    }
}

namespace {

class LinewatchOnVeth : public VethPairTest {
  protected:
    LinewatchOnVeth() : VethPairTest("02:4c:57:10:00:01", "02:4c:57:10:0a:01") {}

    // Runs the test body inside the namespace; fails when it cannot enter.
    void Inside(const std::function<void()>& body) { ASSERT_TRUE(sandbox_.RunInside(body)); }
};

}  // namespace

TEST_F(LinewatchOnVeth, ProbeLeavesByteForByteAndALongOfferIsMatched) {
    Inside([&] {
        // 60 bytes of vendor tag put the Host-Uniq well past byte 100.
        PadoResponder responder(peer_, kAcMac, kOurMac, 60);
        ASSERT_TRUE(responder.ok());
        LinewatchRecorder reports;
        KtLinewatch engine;
        engine.SetSourceMac(&kOurMac);
        engine.Connect(reports);
        // Room for a slow responder on a loaded machine.
        engine.SetPadoWaitTime(2000);
        ASSERT_TRUE(engine.OpenCapture(ours_, false)) << engine.LastCaptureError();
        ASSERT_TRUE(engine.Start());

        std::vector<uint8_t> padi;
        ASSERT_TRUE(responder.WaitForPadi(padi));
        const ProbeFrame probe = engine.GetProbeFrame();
        EXPECT_EQ(padi, std::vector<uint8_t>(probe.begin(), probe.end()));

        ASSERT_TRUE(reports.received.WaitForCount(1)) << responder.OffersSent();
        ASSERT_TRUE(reports.expired.WaitForCount(1, 10s));
        engine.Stop();
        const std::vector<KtPadoReply> replies = engine.TakeReplies();
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].acMac, kAcMac);
        EXPECT_EQ(replies[0].acName, "Veth-AC");
        EXPECT_EQ(replies[0].serviceName, "Default");
        EXPECT_GT(replies[0].frameLength, 100u);
        EXPECT_GT(replies[0].rtt, 0.0);
        EXPECT_LT(replies[0].rtt, 2000.0);
        // The offer came before the wait of the same probe ran out.
        EXPECT_EQ(replies[0].probe, 1u);
        EXPECT_EQ(reports.sent.Values().front(), 1);
        EXPECT_EQ(reports.expired.Values().front(), 1);
        EXPECT_LT(reports.received.Times()[0], reports.expired.Times()[0]);
    });
}

TEST_F(LinewatchOnVeth, CaptureHoldsABurstOfOffersUntilItIsRead) {
    Inside([&] {
        // Every AC on a large segment answers one probe at once. The capture
        // must keep them all while the monitor is still busy elsewhere.
        constexpr int kOffers = 1500;
        CaptureOpening ours = OpenDiscoveryCapture(ours_, false);
        ASSERT_NE(ours.handle, nullptr) << ours.errorText;
        CaptureOpening peer = OpenDiscoveryCapture(peer_, false);
        ASSERT_NE(peer.sender, nullptr) << peer.errorText;
        pcap_t* injector = peer.sender.get();
        pcap_t* capture = ours.handle.get();
        const std::vector<uint8_t> pado =
            BuildPado(kOurMac, kAcMac, std::string(kHostUniqLength, '\x01'), "Veth-AC", "");
        int injected = 0;
        for (int i = 0; i < kOffers; ++i) {
            injected +=
                pcap_inject(injector, pado.data(), pado.size()) == static_cast<int>(pado.size());
        }
        ASSERT_EQ(injected, kOffers);

        int read = 0;
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        while (ReadCapturedFrame(capture, &header, &data) == 1) ++read;
        pcap_stat counters{};
        ASSERT_EQ(pcap_stats(capture, &counters), 0);
        EXPECT_EQ(read, kOffers);
        EXPECT_EQ(counters.ps_drop, 0u);
    });
}

TEST_F(LinewatchOnVeth, SendsAtTheIntervalAndAtOnceOnTrigger) {
    Inside([&] {
        LinewatchRecorder reports, triggered;
        KtLinewatch engine;
        engine.SetSourceMac(&kOurMac);
        engine.Connect(reports);
        engine.SetProbeInterval(150);
        ASSERT_TRUE(engine.OpenCapture(ours_, false)) << engine.LastCaptureError();
        ASSERT_TRUE(engine.Start());
        ASSERT_TRUE(reports.sent.WaitForCount(4));
        engine.Stop();
        const auto times = reports.sent.Times();
        for (size_t i = 1; i < 4; ++i) {
            EXPECT_GE(times[i] - times[i - 1], 140ms) << "probe " << i;
        }

        engine.Connect(triggered);
        engine.SetProbeInterval(60000);
        ASSERT_TRUE(engine.Start());
        ASSERT_TRUE(triggered.sent.WaitForCount(1));
        engine.TriggerProbe();
        // Far sooner than the minute the interval asks for.
        EXPECT_TRUE(triggered.sent.WaitForCount(2, 10s));
        engine.Stop();
    });
}

TEST_F(LinewatchOnVeth, StatusFollowsTheTransmissions) {
    Inside([&] {
        LinewatchRecorder reports;
        std::vector<int32_t> statusAtReport;
        std::mutex statusMutex;
        KtLinewatch engine;
        engine.SetSourceMac(&kOurMac);
        // Called on the send thread before it sets the status of this probe:
        // the status seen is the one of the previous transmission.
        reports.sent.SetHook([&](int) {
            std::scoped_lock lock(statusMutex);
            statusAtReport.push_back(engine.GetStatus());
        });
        engine.Connect(reports);
        engine.SetProbeInterval(50);
        engine.SetPadoWaitTime(20);
        ASSERT_TRUE(engine.OpenCapture(ours_, false)) << engine.LastCaptureError();
        ASSERT_TRUE(engine.Start());
        ASSERT_TRUE(reports.sent.WaitForCount(2));
        // An interface that is down refuses the frame: status 3, a failure
        // report instead of the sent one, and the wait of that probe over.
        ASSERT_TRUE(sandbox_.Ip("link set dev " + ours_ + " down"));
        ASSERT_TRUE(reports.sendFailed.WaitForCount(2));
        EXPECT_EQ(engine.GetStatus(), kLinewatchSendFailed);
        const size_t reportsWhileDown = reports.sent.Values().size();
        ASSERT_TRUE(sandbox_.Ip("link set dev " + ours_ + " up"));
        ASSERT_TRUE(reports.sent.WaitForCount(reportsWhileDown + 1));
        const int firstFailed = reports.sendFailed.Values().front();
        ASSERT_TRUE(
            reports.expired.WaitForCount(static_cast<size_t>(reports.sendFailed.Values().back())));
        engine.Stop();
        // Numbers run on across the failures; every wait ends in order.
        EXPECT_EQ(firstFailed, static_cast<int>(reportsWhileDown) + 1);
        EXPECT_EQ(reports.sent.Values()[reportsWhileDown], reports.sendFailed.Values().back() + 1);
        const std::vector<int> ended = reports.expired.Values();
        for (size_t i = 0; i < ended.size(); ++i) EXPECT_EQ(ended[i], static_cast<int>(i + 1));
        EXPECT_EQ(engine.GetStatus(), kLinewatchStopped);
        std::scoped_lock lock(statusMutex);
        ASSERT_GE(statusAtReport.size(), 3u);
        EXPECT_EQ(statusAtReport[0], kLinewatchStopped);
        EXPECT_EQ(statusAtReport[1], kLinewatchProbing);
        EXPECT_EQ(statusAtReport[reportsWhileDown], kLinewatchSendFailed);
    });
}

TEST_F(LinewatchOnVeth, StopDoesNotHangWhileTheSendThreadIsBlockedInASend) {
    Inside([&] {
        for (int round = 0; round < 10; ++round) {
            const int handled = RunWithDeadline(
                [&] {
                    int count = 0;
                    MessagePort port([&count](uint32_t msg, uintptr_t, intptr_t) {
                        if (msg == WM_LW_PADI_SENT) ++count;
                    });
                    KtEvent entered(true, false);
                    SendingOwner owner(port, WM_LW_PADI_SENT, entered);
                    KtLinewatch engine;
                    engine.SetSourceMac(&kOurMac);
                    engine.Connect(owner);
                    if (!engine.OpenCapture(ours_, false)) return -2;
                    engine.Start();
                    if (!entered.Wait(5000)) return -1;
                    engine.Stop();
                    return count;
                },
                30s);
            ASSERT_EQ(handled, 1) << "round " << round;
        }
    });
}

TEST_F(LinewatchOnVeth, RealAccessConcentratorWithAnOfferOver100BytesIsHeard) {
    if (std::system("command -v pppoe-server >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs pppoe-server (Debian pppoe)";
    // A long AC-Name puts the Host-Uniq, which pppoe-server sends last, past
    // byte 100 of the offer.
    const std::string acName = "Access-Concentrator-With-A-Long-Name-0123";
    const pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        execlp("ip", "ip", "netns", "exec", sandbox_.name().c_str(), "pppoe-server", "-F", "-I",
               peer_.c_str(), "-C", acName.c_str(), "-S", "internet", static_cast<char*>(nullptr));
        _exit(127);
    }
    Inside([&] {
        LinewatchRecorder reports;
        KtLinewatch engine;
        engine.SetSourceMac(&kOurMac);
        engine.Connect(reports);
        // Waits overlap the next probes: each answer is matched to its own.
        engine.SetPadoWaitTime(3000);
        engine.SetProbeInterval(700);
        ASSERT_TRUE(engine.OpenCapture(ours_, false)) << engine.LastCaptureError();
        ASSERT_TRUE(engine.Start());
        // The server may still be starting when the first probe leaves; a
        // later probe's answer is matched to that probe by itself.
        EXPECT_TRUE(reports.received.WaitForCount(1, std::chrono::seconds(10)));
        engine.Stop();
        const std::vector<KtPadoReply> replies = engine.TakeReplies();
        ASSERT_FALSE(replies.empty());
        EXPECT_EQ(replies[0].acName, acName.substr(0, kMaxAcNameLength));
        EXPECT_EQ(replies[0].serviceName, "internet");
        EXPECT_GT(replies[0].frameLength, 100u);
        EXPECT_GT(replies[0].rtt, 0.0);
        EXPECT_LT(replies[0].rtt, 3000.0);
    });
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
}
