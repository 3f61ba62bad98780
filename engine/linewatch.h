#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/threads/event.h"
#include "core/threads/thread.h"
#include "engine/capture_channel.h"
#include "engine/discovery_frames.h"
#include "engine/wake_signal.h"

class KtLogWriter;

// Engine status as the status bar reads it.
constexpr int32_t kLinewatchStopped = 1;     // created, or the send thread ended
constexpr int32_t kLinewatchProbing = 2;     // the last transmission succeeded
constexpr int32_t kLinewatchSendFailed = 3;  // the last transmission failed

constexpr int32_t kDefaultPadoWaitTimeMs = 1000;
constexpr int32_t kDefaultProbeIntervalMs = 30000;
// Pause before reading the capture again after a failed read.
constexpr uint32_t kCaptureRetryMs = 100;

// What the engine reports to its owner, and how the owner wants it stopped.
// Every report runs on an engine thread; a report may block (a Send to the
// owner), and the owner may call into the engine meanwhile. Probes are
// numbered from 1 upwards for the life of the engine; every transmission
// attempt takes the next number, whether it succeeds or not.
class LinewatchOwner {
  public:
    virtual void ProbeSent(uint32_t probe) = 0;        // WM_LW_PADI_SENT
    virtual void ProbeSendFailed(uint32_t probe) = 0;  // WM_LW_PROBE_SEND_FAILED
    // The waiting time of this probe ran out (at once for a failed one).
    virtual void PadoWaitExpired(uint32_t probe) = 0;  // WM_LW_PADO_TIMEOUT
    // A reply to this probe was added to the reply list.
    virtual void PadoReceived(uint32_t probe) = 0;   // WM_LW_PADO_RECEIVED
    virtual void CaptureError(uint32_t reason) = 0;  // WM_LW_CAPTURE_ERROR
    // How Stop waits for each worker, on the thread that calls Stop. An
    // owner whose reports Send to it waits through MessagePort::StopAndWait,
    // so that a worker blocked in a Send cannot lock up the stop.
    virtual void StopWorker(KtThread& worker) { worker.StopAndWait(); }

  protected:
    ~LinewatchOwner() = default;
};

// The probe engine. Three worker threads share one capture handle:
//  - the send thread broadcasts the probe PADI at the probe interval (or at
//    once on TriggerProbe), numbers each attempt and reports it;
//  - the receive thread sleeps on the capture descriptor, notes which own
//    probe it saw leave (the latest one sent before its capture time) and
//    turns each PADO that follows it, within that probe's wait, into a
//    KtPadoReply carrying the probe's number and the round-trip time taken
//    from the two capture timestamps;
//  - the PADO-wait thread ends each probe's wait at that probe's own
//    deadline, in sending order, and reports the number.
// The owner drains the replies with TakeReplies while the receive thread
// waits in its report.
//
// Connect, Disconnect, Start, Stop, OpenCapture and CloseCapture belong to
// the owner thread. The capture handle is opened and closed only while the
// threads are stopped.
class KtLinewatch {
  public:
    KtLinewatch();
    ~KtLinewatch();
    KtLinewatch(const KtLinewatch&) = delete;
    KtLinewatch& operator=(const KtLinewatch&) = delete;

    // Reports to `owner` from now on, in place of any earlier owner. The
    // foreign and other-instance PADI lines go to `padiLog` (none: not
    // written). Both must outlive the connection.
    void Connect(LinewatchOwner& owner, KtLogWriter* padiLog = nullptr);
    // Stops the threads (through the owner's StopWorker) and forgets the
    // owner: no report runs any more once this returns.
    void Disconnect();

    // Closes any open capture, then opens `device` for discovery frames
    // (capture_channel.h). Stops the threads first if they run. False, with
    // the debug text of the failing step, when it cannot be opened.
    bool OpenCapture(const std::string& device, bool promiscuous);
    // Takes ownership of already opened handles (a savefile, handles set up by
    // the caller) in place of the current ones; filters are not changed. The
    // probe is sent through `sender`, or through `capture` when it is null.
    void AttachCapture(PcapHandle capture, PcapHandle sender = nullptr);
    // Takes an already opened channel in place of the current one.
    void AttachChannel(std::unique_ptr<CaptureChannel> channel);
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
    // Stops the send, receive and PADO-wait threads, in that order. The waits
    // still running are abandoned: no reply to those probes is taken any
    // more, and their ends are not reported.
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

    void SetPadoWaitTime(int32_t ms) { padoWaitTimeMs_ = ms; }
    void SetProbeInterval(int32_t ms) { probeIntervalMs_ = ms; }
    int32_t GetPadoWaitTime() const { return padoWaitTimeMs_; }
    int32_t GetProbeInterval() const { return probeIntervalMs_; }
    void SetLogForeignPadi(bool on) { logForeignPadi_ = on; }
    void SetLogInstancePadi(bool on) { logInstancePadi_ = on; }

    // The receive thread's rules for one captured frame; public for tests.
    void HandleFrame(const pcap_pkthdr& header, const uint8_t* data);
    // The send thread's record of a probe about to leave at `sendTimeUs`
    // (microseconds on the capture clock, CLOCK_REALTIME); gives its number.
    // Public for tests that feed frames by hand.
    uint32_t RecordProbeSent(int64_t sendTimeUs);
    // Ends the wait of `probe`: no reply is taken for it from now on. Called
    // by the PADO-wait thread; public for tests.
    void EndProbeWait(uint32_t probe);

    // Millisecond tick (CLOCK_MONOTONIC, low 32 bits) taken at construction;
    // carried in every probe so that answers to this instance can be told.
    uint32_t InstanceStamp() const { return instanceStamp_; }

  private:
    using Worker = KtThreadClassFunction<KtLinewatch>;
    using Report = void (LinewatchOwner::*)(uint32_t);

    // A probe that went out, kept while it may still be seen or answered.
    struct SentProbe {
        uint32_t number;
        int64_t sendTimeUs;  // capture clock, microseconds
        bool waitOver;
    };
    struct ProbeWait {
        uint32_t number;
        std::chrono::steady_clock::time_point deadline;
    };

    int SendLoop(KtThread& thread);
    int ReceiveLoop(KtThread& thread);
    int PadoWaitLoop(KtThread& thread);
    // Hands every frame the capture holds to HandleFrame. False when a read
    // failed (reported once per change from working to failing).
    bool ReadAvailableFrames(KtThread& thread, int& framesRead);
    void QueueWait(uint32_t probe, int32_t waitTimeMs);

    void StartWorker(std::unique_ptr<Worker>& worker, int (KtLinewatch::*loop)(KtThread&));
    void StopWorker(std::unique_ptr<Worker>& worker);
    void Notify(Report which, uint32_t value);
    void ReplaceCapture(std::unique_ptr<CaptureChannel> channel);

    std::unique_ptr<Worker> receiveThread_;
    std::unique_ptr<Worker> sendThread_;
    std::unique_ptr<Worker> padoWaitThread_;

    KtEvent waitQueued_{false, false};
    KtEvent sendNow_{false, false};
    // Wakes the receive thread from its wait on the capture for a stop.
    WakeSignal stopSignal_;

    std::mutex frameLock_;
    ProbeFrame probe_{};

    std::mutex statusLock_;
    int32_t status_ = kLinewatchStopped;

    // Guards the probe records, the waits, the own probe seen and the reply
    // list together: a reply is in the list before its probe's wait ends,
    // or it is not taken at all.
    std::mutex cycleLock_;
    uint32_t lastProbeNumber_ = 0;
    std::deque<SentProbe> sentProbes_;  // oldest first
    std::deque<ProbeWait> waits_;       // in sending order
    uint32_t ownProbeNumber_ = 0;       // the latest own probe the capture saw
    double ownProbeTime_ = 0.0;         // its capture time, seconds
    std::vector<KtPadoReply> replies_;

    // Guards the owner and the PADI log, which may be replaced; reports are
    // made outside it.
    std::mutex reportLock_;
    LinewatchOwner* owner_ = nullptr;
    KtLogWriter* padiLog_ = nullptr;

    // Opened and closed by the owner while stopped; used by the send and
    // receive threads without a lock while they run.
    std::unique_ptr<CaptureChannel> channel_;
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
};
