#pragma once

// A scripted access concentrator for the veth tests.

#include <pcap/pcap.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/capture_channel.h"
#include "engine_test_support.h"

// An access concentrator on the far end of a veth pair: it records the PADIs
// it sees and answers those from `client` with an offer of `padding` extra
// bytes, echoing their Host-Uniq.
class PadoResponder {
  public:
    PadoResponder(const std::string& device, const MacAddress& ownMac, const MacAddress& client,
                  size_t padding)
        : ownMac_(ownMac), client_(client), padding_(padding) {
        CaptureOpening opening = OpenDiscoveryCapture(device, false);
        capture_ = std::move(opening.handle);
        sender_ = std::move(opening.sender);
        if (capture_) {
            thread_ = std::thread([this] { Run(); });
        }
    }
    ~PadoResponder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return capture_ != nullptr; }
    // Stops answering (PADIs are still recorded) or starts again.
    void SetAnswering(bool on) { answering_ = on; }

    bool WaitForPadi(std::vector<uint8_t>& first,
                     std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        if (!seen_.wait_for(lock, deadline, [&] { return !padis_.empty(); })) return false;
        first = padis_.front();
        return true;
    }
    size_t OffersSent() {
        std::scoped_lock lock(mutex_);
        return offers_;
    }

  private:
    void Run() {
        while (!stop_) {
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            if (ReadCapturedFrame(capture_.get(), &header, &data) != 1) continue;
            if (header->caplen < kProbeFrameSize || data[15] != kCodePadi) continue;
            if (!std::equal(client_.begin(), client_.end(), data + 6)) continue;
            std::vector<uint8_t> padi(data, data + header->caplen);
            const std::vector<uint8_t> pado =
                BuildPado(client_, ownMac_, ProbeHostUniq(data), "Veth-AC", "", padding_);
            const bool sent = answering_ && pcap_inject(sender_.get(), pado.data(), pado.size()) ==
                                                static_cast<int>(pado.size());
            {
                std::scoped_lock lock(mutex_);
                padis_.push_back(std::move(padi));
                offers_ += sent ? 1 : 0;
            }
            seen_.notify_all();
        }
    }

    const MacAddress ownMac_;
    const MacAddress client_;
    const size_t padding_;
    PcapHandle capture_;
    PcapHandle sender_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> answering_{true};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable seen_;
    std::vector<std::vector<uint8_t>> padis_;
    size_t offers_ = 0;
};
