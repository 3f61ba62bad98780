#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/threads/event.h"
#include "core/threads/functors.h"
#include "core/threads/thread.h"
#include "engine/discovery_frames.h"

class KtLogWriter;

// Engine status as the status bar reads it.
constexpr int32_t kLinewatchStopped = 1;     // created, or the send thread ended
constexpr int32_t kLinewatchProbing = 2;     // the last transmission succeeded
constexpr int32_t kLinewatchSendFailed = 3;  // the last transmission failed

constexpr int32_t kDefaultPadoWaitTimeMs = 1000;
constexpr int32_t kDefaultProbeIntervalMs = 30000;
// Pause before reading the capture again after a failed read.
constexpr uint32_t kCaptureRetryMs = 100;

// The probe engine. Three worker threads share one capture handle:
//  - the send thread broadcasts the probe PADI at the probe interval (or at
//    once on TriggerProbe) and reports each transmission;
//  - the receive thread reads the capture, notes when its own probe is seen
//    leaving and turns each PADO that answers it into a KtPadoReply, with the
//    round-trip time taken from the two capture timestamps;
//  - the PADO-wait thread waits the PADO waiting time after each probe and
//    then reports that the wait is over.
// Reports go through Safe functors that the owner installs; the owner drains
// the replies with TakeReplies while the receive thread waits in its report.
//
// Start, Stop, OpenCapture and CloseCapture belong to the owner thread. The
// capture handle is opened and closed only while the threads are stopped.
class KtLinewatch {
  public:
    using Notification = std::shared_ptr<KtUnaryFunctionSafe<void, int>>;

    KtLinewatch();
    ~KtLinewatch();
    KtLinewatch(const KtLinewatch&) = delete;
    KtLinewatch& operator=(const KtLinewatch&) = delete;

    void SetProbeSentNotification(Notification notification);        // WM_LW_PADI_SENT
    void SetPadoWaitExpiredNotification(Notification notification);  // WM_LW_PADO_TIMEOUT
    void SetPadoReceivedNotification(Notification notification);     // WM_LW_PADO_RECEIVED
    void SetCaptureErrorNotification(Notification notification);     // WM_LW_CAPTURE_ERROR, 1
    // Receives the foreign and other-instance PADI lines; may be null.
    void SetLogWriter(KtLogWriter* writer);
    // How Stop waits for each worker. The owner passes MessagePort::StopAndWait
    // so that a worker blocked in a Send to the owner cannot lock up the stop.
    // Default: KtThread::StopAndWait.
    void SetStopWaiter(std::function<void(KtThread&)> stopWaiter);

    // Closes any open capture, then opens `device` for discovery frames
    // (capture_channel.h). Stops the threads first if they run. False, with
    // the debug text of the failing step, when it cannot be opened.
    bool OpenCapture(const std::string& device, bool promiscuous);
    // Takes ownership of already opened handles (a savefile, handles set up by
    // the caller) in place of the current ones; filters are not changed. The
    // probe is sent through `sender`, or through `capture` when it is null.
    void AttachCapture(pcap_t* capture, pcap_t* sender = nullptr);
    void CloseCapture();
    bool IsCaptureOpen();
    // libpcap's text for the last failed OpenCapture, and whether it failed
    // for lack of CAP_NET_RAW (capture_permission.h explains the fix).
    std::string LastCaptureError();
    bool LastCapturePermissionDenied();

    // Starts the PADO-wait, receive and send threads, in that order, each
    // only when it is not running. Needs an open capture: without one
    // nothing is started and false is returned.
    bool Start();
    // Stops the send, receive and PADO-wait threads, in that order.
    void Stop();
    bool IsRunning();

    void SetSourceMac(const MacAddress* mac);  // null zeroes it
    MacAddress GetSourceMac();
    // A copy of the probe frame as it would be sent now.
    ProbeFrame GetProbeFrame();

    int32_t GetStatus();
    void SetStatus(int32_t status);

    // The send thread transmits at once and its interval starts over.
    void TriggerProbe();
    // The replies added since the last call, oldest first.
    std::vector<KtPadoReply> TakeReplies();

    void ClearPadoMatched() { padoMatched_ = 0; }
    void ClearOwnProbeSeen() { ownProbeSeen_ = 0; }
    bool IsPadoMatched() const { return padoMatched_ != 0; }
    bool IsOwnProbeSeen() const { return ownProbeSeen_ != 0; }

    void SetPadoWaitTime(int32_t ms) { padoWaitTimeMs_ = ms; }
    void SetProbeInterval(int32_t ms) { probeIntervalMs_ = ms; }
    int32_t GetPadoWaitTime() const { return padoWaitTimeMs_; }
    int32_t GetProbeInterval() const { return probeIntervalMs_; }
    void SetLogForeignPadi(bool on) { logForeignPadi_ = on; }
    void SetLogInstancePadi(bool on) { logInstancePadi_ = on; }

    // The receive thread's rules for one captured frame; public for tests.
    void HandleFrame(const pcap_pkthdr& header, const uint8_t* data);

    // Millisecond tick (CLOCK_MONOTONIC, low 32 bits) taken at construction;
    // carried in every probe so that answers to this instance can be told.
    uint32_t InstanceStamp() const { return instanceStamp_; }

  private:
    using Worker = KtThreadClassFunction<KtLinewatch>;

    int SendLoop(KtThread& thread);
    int ReceiveLoop(KtThread& thread);
    int PadoWaitLoop(KtThread& thread);

    void StartWorker(std::unique_ptr<Worker>& worker, int (KtLinewatch::*loop)(KtThread&));
    void StopWorker(std::unique_ptr<Worker>& worker);
    void Notify(Notification KtLinewatch::*which, int value);
    void ReplaceCapture(pcap_t* capture, pcap_t* sender);

    std::unique_ptr<Worker> receiveThread_;
    std::unique_ptr<Worker> sendThread_;
    std::unique_ptr<Worker> padoWaitThread_;

    KtEvent probeSent_{false, false};
    KtEvent sendNow_{false, false};

    std::mutex frameLock_;
    ProbeFrame probe_{};

    // Written and read by the receive thread only.
    double ownProbeTime_ = 0.0;
    double padoTime_ = 0.0;

    std::mutex statusLock_;
    int32_t status_ = kLinewatchStopped;

    std::atomic<int32_t> ownProbeSeen_{0};
    std::atomic<int32_t> padoMatched_{0};

    // Guards the notifications, the log writer and the stop waiter, which the
    // owner may replace while the threads run; they are called outside it.
    std::mutex notifyLock_;
    Notification probeSentNotification_;
    Notification padoWaitExpiredNotification_;
    Notification padoReceivedNotification_;
    Notification captureErrorNotification_;
    KtLogWriter* logWriter_ = nullptr;
    std::function<void(KtThread&)> stopWaiter_;

    // Opened and closed by the owner while stopped; used by the send and
    // receive threads without a lock while they run.
    pcap_t* capture_ = nullptr;
    pcap_t* sender_ = nullptr;  // null: the probe goes out through capture_
    std::mutex captureInfoLock_;
    std::string lastCaptureError_;
    bool lastCapturePermissionDenied_ = false;
    // The capture error is reported once per change from working to failing.
    bool lastReadSucceeded_ = true;

    const uint32_t instanceStamp_;

    std::atomic<int32_t> padoWaitTimeMs_{kDefaultPadoWaitTimeMs};
    std::atomic<int32_t> probeIntervalMs_{kDefaultProbeIntervalMs};
    std::atomic<bool> logForeignPadi_{false};
    std::atomic<bool> logInstancePadi_{false};

    std::mutex replyLock_;
    std::vector<KtPadoReply> replies_;
};
