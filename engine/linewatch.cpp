#include "engine/linewatch.h"

#include <time.h>

#include <utility>

#include "core/debug_output.h"
#include "engine/capture_channel.h"
#include "engine/engine_messages.h"
#include "engine/log_writer.h"

namespace {

uint32_t MillisecondTick() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

// Capture time of a frame in seconds, from the capture header.
double CaptureTime(const pcap_pkthdr& header) {
    return static_cast<double>(header.ts.tv_sec) + static_cast<double>(header.ts.tv_usec) / 1e6;
}

}  // namespace

KtLinewatch::KtLinewatch() : instanceStamp_(MillisecondTick()) {
    BuildProbeFrame(probe_, instanceStamp_);
}

KtLinewatch::~KtLinewatch() {
    Stop();
    CloseCapture();
}

void KtLinewatch::SetProbeSentNotification(Notification notification) {
    std::scoped_lock lock(notifyLock_);
    probeSentNotification_ = std::move(notification);
}

void KtLinewatch::SetPadoWaitExpiredNotification(Notification notification) {
    std::scoped_lock lock(notifyLock_);
    padoWaitExpiredNotification_ = std::move(notification);
}

void KtLinewatch::SetPadoReceivedNotification(Notification notification) {
    std::scoped_lock lock(notifyLock_);
    padoReceivedNotification_ = std::move(notification);
}

void KtLinewatch::SetCaptureErrorNotification(Notification notification) {
    std::scoped_lock lock(notifyLock_);
    captureErrorNotification_ = std::move(notification);
}

void KtLinewatch::SetLogWriter(KtLogWriter* writer) {
    std::scoped_lock lock(notifyLock_);
    logWriter_ = writer;
}

void KtLinewatch::SetStopWaiter(std::function<void(KtThread&)> stopWaiter) {
    std::scoped_lock lock(notifyLock_);
    stopWaiter_ = std::move(stopWaiter);
}

void KtLinewatch::Notify(Notification KtLinewatch::*which, int value) {
    Notification notification;
    {
        std::scoped_lock lock(notifyLock_);
        notification = this->*which;
    }
    // Called outside every lock: the bound member may block in a Send until
    // the owner has handled the message, and the owner calls back in here.
    if (notification) {
        notification->Call(value);
    }
}

bool KtLinewatch::OpenCapture(const std::string& device, bool promiscuous) {
    Stop();
    ReplaceCapture(nullptr, nullptr);
    CaptureOpening opening = OpenDiscoveryCapture(device, promiscuous);
    {
        std::scoped_lock lock(captureInfoLock_);
        lastCaptureError_ = opening.errorText;
        lastCapturePermissionDenied_ = opening.permissionDenied;
    }
    if (opening.handle == nullptr) {
        return false;
    }
    ReplaceCapture(opening.handle, opening.sender);
    return true;
}

void KtLinewatch::AttachCapture(pcap_t* capture, pcap_t* sender) {
    Stop();
    ReplaceCapture(capture, sender);
}

void KtLinewatch::CloseCapture() {
    Stop();
    ReplaceCapture(nullptr, nullptr);
}

void KtLinewatch::ReplaceCapture(pcap_t* capture, pcap_t* sender) {
    if (sender_ != nullptr) {
        pcap_close(sender_);
    }
    if (capture_ != nullptr) {
        pcap_close(capture_);
    }
    capture_ = capture;
    sender_ = sender;
    // A new channel: its first failure is reported again.
    lastReadSucceeded_ = true;
}

bool KtLinewatch::IsCaptureOpen() {
    return capture_ != nullptr;
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
    if (capture_ == nullptr) {
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
    StopWorker(receiveThread_);
    StopWorker(padoWaitThread_);
}

void KtLinewatch::StopWorker(std::unique_ptr<Worker>& worker) {
    if (!worker) {
        return;
    }
    std::function<void(KtThread&)> stopWaiter;
    {
        std::scoped_lock lock(notifyLock_);
        stopWaiter = stopWaiter_;
    }
    if (stopWaiter) {
        stopWaiter(*worker);
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
    std::scoped_lock lock(replyLock_);
    return std::exchange(replies_, {});
}

void KtLinewatch::HandleFrame(const pcap_pkthdr& header, const uint8_t* data) {
    const MacAddress sourceMac = GetSourceMac();
    FrameReading reading = ReadDiscoveryFrame(data, header.caplen, sourceMac, instanceStamp_);
    switch (reading.kind) {
        case FrameKind::Ignored:
            return;
        case FrameKind::OwnProbe:
            ownProbeTime_ = CaptureTime(header);
            ownProbeSeen_ = 1;
            return;
        case FrameKind::PadoMatched: {
            padoMatched_ = 1;
            padoTime_ = CaptureTime(header);
            // Only an offer captured after the own probe of the running cycle
            // counts; the owner clears the flag when the wait runs out.
            if (ownProbeSeen_ == 0) {
                return;
            }
            KtPadoReply reply;
            reply.acMac = reading.sourceMac;
            reply.acName = std::move(reading.acName);
            reply.serviceName = std::move(reading.serviceName);
            reply.rtt = (padoTime_ - ownProbeTime_) * 1000.0;
            reply.frameLength = header.len;
            {
                std::scoped_lock lock(replyLock_);
                replies_.push_back(std::move(reply));
            }
            Notify(&KtLinewatch::padoReceivedNotification_, 0);
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
                std::scoped_lock lock(notifyLock_);
                writer = logWriter_;
            }
            if (writer != nullptr) {
                writer->WriteLine({foreign ? "PADI:  " : "Line Watchman PADI:  ",
                                   FormatMacText(reading.sourceMac)});
            }
            return;
        }
    }
}

int KtLinewatch::SendLoop(KtThread& thread) {
    while (!thread.IsStopRequested()) {
        const int32_t interval = probeIntervalMs_;
        int result;
        {
            std::scoped_lock lock(frameLock_);
            result = pcap_sendpacket(sender_ != nullptr ? sender_ : capture_, probe_.data(),
                                     static_cast<int>(probe_.size()));
        }
        if (result != 0) {
            DebugOutput("Error in pcap_sendpacket():\n");
            SetStatus(kLinewatchSendFailed);
        } else {
            Notify(&KtLinewatch::probeSentNotification_, 0);
            probeSent_.Set();
            SetStatus(kLinewatchProbing);
        }
        thread.WaitForObjectOrStop(sendNow_, static_cast<uint32_t>(interval < 0 ? 0 : interval));
        sendNow_.Reset();
    }
    SetStatus(kLinewatchStopped);
    return 0;
}

int KtLinewatch::ReceiveLoop(KtThread& thread) {
    while (!thread.IsStopRequested()) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int result = ReadCapturedFrame(capture_, &header, &data);
        if (result < 0) {
            if (lastReadSucceeded_) {
                Notify(&KtLinewatch::captureErrorNotification_, kCaptureErrorReadFailed);
                DebugOutput("Error in pcap_next_ex()\n");
            }
            lastReadSucceeded_ = false;
            thread.WaitForStop(kCaptureRetryMs);
            continue;
        }
        lastReadSucceeded_ = true;
        if (result == 1 && header != nullptr && data != nullptr) {
            HandleFrame(*header, data);
        }
    }
    return 0;
}

int KtLinewatch::PadoWaitLoop(KtThread& thread) {
    while (!thread.IsStopRequested()) {
        const int32_t waitTime = padoWaitTimeMs_;
        if (thread.WaitForObjectOrStop(probeSent_, kInfinite)) {
            thread.WaitForStop(static_cast<uint32_t>(waitTime < 0 ? 0 : waitTime));
            if (!thread.IsStopRequested()) {
                Notify(&KtLinewatch::padoWaitExpiredNotification_, 0);
            }
        }
    }
    return 0;
}
