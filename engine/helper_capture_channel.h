#pragma once

#include <pcap/pcap.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/unique_fd.h"
#include "engine/capture_channel.h"
#include "engine/capture_protocol.h"

// The capture channel through linewatch-capture: the helper is started with
// one end of a socket pair as descriptor 3, an empty environment, the device
// and the promiscuous flag as its arguments. It opens the capture, drops its
// capability and answers whether it is open; from then on it forwards every
// captured frame with its timestamp and answers each send request. Closing
// the channel closes the socket, and the helper ends.
class HelperCaptureChannel final : public CaptureChannel {
  public:
    struct Opening {
        std::unique_ptr<HelperCaptureChannel> channel;
        std::string errorText;
        bool permissionDenied = false;
    };
    // Starts `helperPath` for `device` and waits for its answer.
    static Opening Start(const std::string& helperPath, const std::string& device,
                         bool promiscuous);

    ~HelperCaptureChannel() override;
    HelperCaptureChannel(const HelperCaptureChannel&) = delete;
    HelperCaptureChannel& operator=(const HelperCaptureChannel&) = delete;

    int Descriptor() override { return socket_.Get(); }
    int Read(pcap_pkthdr** header, const u_char** data) override;
    int Send(const uint8_t* frame, size_t length) override;

    // The helper's reason for the last refused or failed send.
    CaptureResult LastSendResult();
    pid_t HelperPid() const { return pid_; }

  private:
    HelperCaptureChannel(UniqueFd socket, pid_t pid);
    void Deliver(uint32_t id, CaptureResult result);
    void MarkGone();

    UniqueFd socket_;
    pid_t pid_;
    std::vector<uint8_t> buffer_;
    pcap_pkthdr header_{};

    std::mutex sendLock_;  // one request in flight
    uint32_t lastId_ = 0;

    std::mutex resultLock_;
    std::condition_variable resultArrived_;
    std::deque<std::pair<uint32_t, CaptureResult>> results_;
    CaptureResult lastSendResult_ = CaptureResult::Ok;
    bool gone_ = false;
};
