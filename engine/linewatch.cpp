#include "engine/linewatch.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>

#include "core/debug_output.h"
#include "engine/engine_messages.h"
#include "engine/log_writer.h"

namespace {

// Probe records kept for matching own probes and replies: far more than the
// probes whose waits can overlap.
constexpr size_t kKeptProbeRecords = 64;

uint32_t MillisecondTick() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

// The stamp of a new engine: the millisecond tick, unless an engine made
// earlier in this process took that value or a later one. Engines of one
// process (one per watched adapter) made within the same millisecond would
// otherwise carry one stamp and take each other's probes and offers for
// their own wherever their frames meet (the same MAC on one segment, an
// untagged answer to a VLAN probe).
uint32_t UniqueInstanceStamp() {
    static std::mutex lock;
    static bool issued = false;
    static uint32_t last = 0;
    std::scoped_lock guard(lock);
    uint32_t stamp = MillisecondTick();
    // Wrap-safe "not later than": the tick wraps after 49 days.
    if (issued && static_cast<int32_t>(stamp - last) <= 0) stamp = last + 1;
    issued = true;
    last = stamp;
    return stamp;
}

// The clock the capture stamps frames with, in microseconds.
int64_t CaptureClockNowUs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Capture time of a frame in seconds, from the capture header.
double CaptureTime(const pcap_pkthdr& header) {
    return static_cast<double>(header.ts.tv_sec) + static_cast<double>(header.ts.tv_usec) / 1e6;
}

int64_t CaptureTimeUs(const pcap_pkthdr& header) {
    return static_cast<int64_t>(header.ts.tv_sec) * 1000000 + header.ts.tv_usec;
}

}  // namespace

KtLinewatch::KtLinewatch() : instanceStamp_(UniqueInstanceStamp()) {
    BuildProbeFrame(probe_, instanceStamp_);
}

KtLinewatch::~KtLinewatch() {
    Stop();
    CloseCapture();
}

void KtLinewatch::Connect(LinewatchOwner& owner, KtLogWriter* padiLog) {
    std::scoped_lock lock(reportLock_);
    owner_ = &owner;
    padiLog_ = padiLog;
}

void KtLinewatch::Disconnect() {
    Stop();
    std::scoped_lock lock(reportLock_);
    owner_ = nullptr;
    padiLog_ = nullptr;
}

void KtLinewatch::Notify(Report which, uint32_t value) {
    LinewatchOwner* owner;
    {
        std::scoped_lock lock(reportLock_);
        owner = owner_;
    }
    // Called outside every lock: the report may block in a Send until the
    // owner has handled the message, and the owner calls back in here.
    if (owner != nullptr) {
        (owner->*which)(value);
    }
}

bool KtLinewatch::OpenCapture(const std::string& device, bool promiscuous) {
    Stop();
    ReplaceCapture(nullptr);
    CaptureChannelOpening opening = OpenCaptureChannel(device, promiscuous);
    {
        std::scoped_lock lock(captureInfoLock_);
        lastCaptureError_ = opening.errorText;
        lastCapturePermissionDenied_ = opening.permissionDenied;
    }
    if (!opening.channel) {
        return false;
    }
    ReplaceCapture(std::move(opening.channel));
    return true;
}

void KtLinewatch::AttachCapture(PcapHandle capture, PcapHandle sender) {
    AttachChannel(std::make_unique<PcapCaptureChannel>(std::move(capture), std::move(sender)));
}

void KtLinewatch::AttachChannel(std::unique_ptr<CaptureChannel> channel) {
    Stop();
    ReplaceCapture(std::move(channel));
}

void KtLinewatch::CloseCapture() {
    Stop();
    ReplaceCapture(nullptr);
}

void KtLinewatch::ReplaceCapture(std::unique_ptr<CaptureChannel> channel) {
    channel_ = std::move(channel);
    // A new channel: its first failure is reported again.
    lastReadSucceeded_ = true;
}

bool KtLinewatch::IsCaptureOpen() {
    return channel_ != nullptr;
}

std::string KtLinewatch::LastCaptureError() {
    std::scoped_lock lock(captureInfoLock_);
    return lastCaptureError_;
}

bool KtLinewatch::LastCapturePermissionDenied() {
    std::scoped_lock lock(captureInfoLock_);
    return lastCapturePermissionDenied_;
}

bool KtLinewatch::Start() {
    if (!channel_ || !stopSignal_.Valid()) {
        return false;
    }
    StartWorker(padoWaitThread_, &KtLinewatch::PadoWaitLoop);
    StartWorker(receiveThread_, &KtLinewatch::ReceiveLoop);
    StartWorker(sendThread_, &KtLinewatch::SendLoop);
    return true;
}

void KtLinewatch::StartWorker(std::unique_ptr<Worker>& worker,
                              int (KtLinewatch::*loop)(KtThread&)) {
    if (worker && worker->IsRunning()) {
        return;
    }
    // A thread object serves one run only; each start gets a fresh one.
    worker = std::make_unique<Worker>();
    worker->object = this;
    worker->method = loop;
    worker->CreateThread();
}

void KtLinewatch::Stop() {
    StopWorker(sendThread_);
    // The receive thread sleeps in poll(), which the stop event of its
    // thread object cannot end.
    if (receiveThread_) stopSignal_.Signal();
    StopWorker(receiveThread_);
    StopWorker(padoWaitThread_);
    {
        // The waits still running are abandoned: their probes get no more
        // replies and no expiry.
        std::scoped_lock lock(cycleLock_);
        for (SentProbe& sent : sentProbes_) sent.waitOver = true;
        waits_.clear();
    }
    stopSignal_.Clear();
}

void KtLinewatch::StopWorker(std::unique_ptr<Worker>& worker) {
    if (!worker) {
        return;
    }
    LinewatchOwner* owner;
    {
        std::scoped_lock lock(reportLock_);
        owner = owner_;
    }
    if (owner != nullptr) {
        owner->StopWorker(*worker);
    } else {
        worker->StopAndWait();
    }
    worker.reset();
}

bool KtLinewatch::IsRunning() {
    auto running = [](const std::unique_ptr<Worker>& worker) {
        return worker && worker->IsRunning();
    };
    return running(sendThread_) || running(receiveThread_) || running(padoWaitThread_);
}

void KtLinewatch::SetSourceMac(const MacAddress* mac) {
    std::scoped_lock lock(frameLock_);
    SetProbeSourceMac(probe_, mac);
}

MacAddress KtLinewatch::GetSourceMac() {
    std::scoped_lock lock(frameLock_);
    return ProbeSourceMac(probe_);
}

ProbeFrame KtLinewatch::GetProbeFrame() {
    std::scoped_lock lock(frameLock_);
    return probe_;
}

int32_t KtLinewatch::GetStatus() {
    std::scoped_lock lock(statusLock_);
    return status_;
}

void KtLinewatch::SetStatus(int32_t status) {
    std::scoped_lock lock(statusLock_);
    status_ = status;
}

void KtLinewatch::TriggerProbe() {
    sendNow_.Set();
}

std::vector<KtPadoReply> KtLinewatch::TakeReplies() {
    std::scoped_lock lock(cycleLock_);
    return std::exchange(replies_, {});
}

uint32_t KtLinewatch::RecordProbeSent(int64_t sendTimeUs) {
    std::scoped_lock lock(cycleLock_);
    const uint32_t number = ++lastProbeNumber_;
    sentProbes_.push_back({number, sendTimeUs, false});
    while (sentProbes_.size() > kKeptProbeRecords) sentProbes_.pop_front();
    return number;
}

void KtLinewatch::EndProbeWait(uint32_t probe) {
    std::scoped_lock lock(cycleLock_);
    // Waits end in sending order: every earlier probe's wait is over too.
    for (SentProbe& sent : sentProbes_) {
        if (sent.number <= probe) sent.waitOver = true;
    }
}

void KtLinewatch::HandleFrame(const pcap_pkthdr& header, const uint8_t* data) {
    const MacAddress sourceMac = GetSourceMac();
    FrameReading reading = ReadDiscoveryFrame(data, header.caplen, sourceMac, instanceStamp_);
    switch (reading.kind) {
        case FrameKind::Ignored:
            return;
        case FrameKind::OwnProbe: {
            // The capture shows the probes leave in sending order; this one
            // is the latest that was sent before it was captured.
            const int64_t capturedUs = CaptureTimeUs(header);
            std::scoped_lock lock(cycleLock_);
            auto sent =
                std::find_if(sentProbes_.rbegin(), sentProbes_.rend(),
                             [&](const SentProbe& p) { return p.sendTimeUs <= capturedUs; });
            if (sent != sentProbes_.rend()) {
                ownProbeNumber_ = sent->number;
                ownProbeTime_ = CaptureTime(header);
            }
            return;
        }
        case FrameKind::PadoMatched: {
            uint32_t number;
            {
                // Only an offer captured after an own probe, before that
                // probe's wait ran out, counts.
                std::scoped_lock lock(cycleLock_);
                number = ownProbeNumber_;
                auto sent = std::find_if(sentProbes_.begin(), sentProbes_.end(),
                                         [&](const SentProbe& p) { return p.number == number; });
                if (number == 0 || sent == sentProbes_.end() || sent->waitOver) {
                    return;
                }
                KtPadoReply reply;
                reply.acMac = reading.sourceMac;
                reply.acName = std::move(reading.acName);
                reply.fullAcName = std::move(reading.fullAcName);
                reply.serviceName = std::move(reading.serviceName);
                reply.rtt = (CaptureTime(header) - ownProbeTime_) * 1000.0;
                reply.frameLength = header.len;
                reply.probe = number;
                replies_.push_back(std::move(reply));
            }
            Notify(&LinewatchOwner::PadoReceived, number);
            return;
        }
        case FrameKind::ForeignPadi:
        case FrameKind::OtherInstancePadi: {
            const bool foreign = reading.kind == FrameKind::ForeignPadi;
            if (!(foreign ? logForeignPadi_.load() : logInstancePadi_.load())) {
                return;
            }
            KtLogWriter* writer;
            {
                std::scoped_lock lock(reportLock_);
                writer = padiLog_;
            }
            if (writer != nullptr) {
                writer->WriteLine({foreign ? "PADI:  " : "Line Watchman PADI:  ",
                                   FormatMacText(reading.sourceMac)});
            }
            return;
        }
    }
}

void KtLinewatch::QueueWait(uint32_t probe, int32_t waitTimeMs) {
    {
        std::scoped_lock lock(cycleLock_);
        waits_.push_back({probe, std::chrono::steady_clock::now() +
                                     std::chrono::milliseconds(std::max(waitTimeMs, 0))});
    }
    waitQueued_.Set();
}

int KtLinewatch::SendLoop(KtThread& thread) {
    while (!thread.IsStopRequested()) {
        const int32_t interval = probeIntervalMs_;
        const int32_t waitTime = padoWaitTimeMs_;
        // Recorded before it leaves: the receive thread may see it go
        // before the send returns. The frame lock is not held while sending:
        // through the capture helper the send waits for its answer, which the
        // receive thread reads, and the receive thread takes that lock.
        const ProbeFrame probe = GetProbeFrame();
        const uint32_t number = RecordProbeSent(CaptureClockNowUs());
        const int result = channel_->Send(probe.data(), probe.size());
        if (result != 0) {
            DebugOutput("Error in pcap_sendpacket():\n");
            {
                // Nothing left: the capture cannot see this one.
                std::scoped_lock lock(cycleLock_);
                std::erase_if(sentProbes_, [&](const SentProbe& p) { return p.number == number; });
            }
            SetStatus(kLinewatchSendFailed);
            Notify(&LinewatchOwner::ProbeSendFailed, number);
            // Nobody can answer it: its wait ends at once.
            QueueWait(number, 0);
        } else {
            Notify(&LinewatchOwner::ProbeSent, number);
            QueueWait(number, waitTime);
            SetStatus(kLinewatchProbing);
        }
        thread.WaitForObjectOrStop(sendNow_, static_cast<uint32_t>(interval < 0 ? 0 : interval));
        sendNow_.Reset();
    }
    SetStatus(kLinewatchStopped);
    return 0;
}

int KtLinewatch::ReceiveLoop(KtThread& thread) {
    // Savefiles and dead handles have no descriptor to wait on.
    const int descriptor = channel_->Descriptor();
    while (!thread.IsStopRequested()) {
        short events = 0;
        if (descriptor >= 0) {
            // Asleep until a frame arrives or the stop signal comes: the
            // socket stays readable while the ring holds frames not yet read.
            pollfd waits[2] = {{descriptor, POLLIN, 0}, {stopSignal_.Get(), POLLIN, 0}};
            if (poll(waits, 2, -1) < 0) {
                if (errno != EINTR) thread.WaitForStop(kCaptureRetryMs);
                continue;
            }
            if (waits[1].revents != 0) break;
            events = waits[0].revents;
        }
        int framesRead = 0;
        if (!ReadAvailableFrames(thread, framesRead)) {
            thread.WaitForStop(kCaptureRetryMs);
            continue;
        }
        if (framesRead == 0 && (descriptor < 0 || (events & ~POLLIN) != 0)) {
            // An error state on the socket that the read did not clear (the
            // interface went down, say): take it and pause, so that the
            // wait does not turn into a spin.
            int error = 0;
            socklen_t length = sizeof error;
            if (descriptor >= 0) getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length);
            thread.WaitForStop(kCaptureRetryMs);
        }
    }
    return 0;
}

bool KtLinewatch::ReadAvailableFrames(KtThread& thread, int& framesRead) {
    while (!thread.IsStopRequested()) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int result = channel_->Read(&header, &data);
        if (result < 0) {
            if (lastReadSucceeded_) {
                Notify(&LinewatchOwner::CaptureError, kCaptureErrorReadFailed);
                DebugOutput("Error in pcap_next_ex()\n");
            }
            lastReadSucceeded_ = false;
            return false;
        }
        lastReadSucceeded_ = true;
        if (result == 0) break;
        if (header != nullptr && data != nullptr) {
            HandleFrame(*header, data);
            ++framesRead;
        }
    }
    return true;
}

int KtLinewatch::PadoWaitLoop(KtThread& thread) {
    while (!thread.IsStopRequested()) {
        uint32_t due = 0;
        uint32_t sleepMs = kInfinite;
        {
            std::scoped_lock lock(cycleLock_);
            if (!waits_.empty()) {
                const auto now = std::chrono::steady_clock::now();
                const ProbeWait& next = waits_.front();
                if (next.deadline <= now) {
                    due = next.number;
                    waits_.pop_front();
                } else {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(next.deadline - now);
                    sleepMs = static_cast<uint32_t>(left.count());
                }
            }
        }
        if (due == 0) {
            thread.WaitForObjectOrStop(waitQueued_, sleepMs);
            continue;
        }
        EndProbeWait(due);
        if (!thread.IsStopRequested()) {
            Notify(&LinewatchOwner::PadoWaitExpired, due);
        }
    }
    return 0;
}
