// Proves the lab itself, with no program of ours in the path: a PADI sent
// from the monitor namespace through a raw socket reaches the real access
// concentrators and the responder, and the lab's switches (AC stop, cable,
// foreign station, capture) do what the tests built on it rely on.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lab/lab_fixture.h"

namespace lwlab {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// "Line Watchman" followed by a 4-byte stamp, as the program's probe carries.
Bytes ProbeHostUniq(std::uint32_t stamp) {
    const auto marker = AsBytes("Line Watchman");
    Bytes value(marker.begin(), marker.end());
    for (int shift = 24; shift >= 0; shift -= 8) {
        value.push_back(static_cast<std::uint8_t>((stamp >> shift) & 0xff));
    }
    return value;
}

struct Offer {
    MacAddress source{};
    std::string ac_name;
    std::vector<std::string> services;
    Bytes host_uniq;
    std::uint16_t last_tag = 0;
    std::size_t cookie_length = 0;
};

// The offer in a discovery frame sent to the monitor, if it is one.
std::optional<Offer> ReadOffer(const DiscoveryFrame& frame) {
    if (frame.code != kCodePado || frame.destination != kMonitorMac) {
        return std::nullopt;
    }
    Offer offer;
    offer.source = frame.source;
    for (const DiscoveryTag& tag : frame.tags) {
        const std::string text(tag.value.begin(), tag.value.end());
        if (tag.type == kTagAcName) {
            offer.ac_name = text;
        } else if (tag.type == kTagServiceName) {
            offer.services.push_back(text);
        } else if (tag.type == kTagHostUniq) {
            offer.host_uniq.assign(tag.value.begin(), tag.value.end());
        } else if (tag.type == 0x0104) {
            offer.cookie_length = tag.value.size();
        }
        offer.last_tag = tag.type;
    }
    return offer;
}

// A raw discovery socket on the monitor interface, opened inside the monitor
// namespace.
class MonitorSocket {
  public:
    MonitorSocket() {
        NetworkNamespaceScope scope(kMonitorNamespace);
        if (!scope.entered()) {
            error_ = scope.error();
            return;
        }
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherTypeDiscovery));
        const unsigned int index = if_nametoindex(std::string(kMonitorInterface).c_str());
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(kEtherTypeDiscovery);
        address.sll_ifindex = static_cast<int>(index);
        if (fd_ < 0 || index == 0 ||
            bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            error_ = std::string("monitor socket: ") + std::strerror(errno);
            return;
        }
        const int buffer = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    ~MonitorSocket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    MonitorSocket(const MonitorSocket&) = delete;
    MonitorSocket& operator=(const MonitorSocket&) = delete;

    const std::string& error() const { return error_; }

    bool SendPadi(const Bytes& host_uniq, std::string_view service = {}) {
        auto frame =
            StartDiscoveryFrame({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, kMonitorMac, kCodePadi);
        AppendTag(frame, kTagServiceName, AsBytes(service));
        AppendTag(frame, kTagHostUniq, host_uniq);
        return FinishDiscoveryFrame(frame) &&
               send(fd_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
    }

    // Receives discovery frames until `done` holds for one or the time runs out.
    template <typename Done>
    void Receive(std::chrono::milliseconds limit, Done done) {
        const auto deadline = Clock::now() + limit;
        std::uint8_t buffer[2048];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            sockaddr_ll from{};
            socklen_t from_length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &from_length);
            if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) {
                continue;
            }
            const auto frame = ReadDiscoveryFrame(
                std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
            if (frame && done(*frame)) {
                return;
            }
        }
    }

    // Collects the offers that answer `host_uniq` until `expected` have come.
    std::vector<Offer> CollectOffers(const Bytes& host_uniq, std::size_t expected,
                                     std::chrono::milliseconds limit) {
        std::vector<Offer> offers;
        Receive(limit, [&](const DiscoveryFrame& frame) {
            auto offer = ReadOffer(frame);
            if (offer && offer->host_uniq == host_uniq) {
                offers.push_back(std::move(*offer));
            }
            return offers.size() >= expected;
        });
        return offers;
    }

  private:
    int fd_ = -1;
    std::string error_;
};

std::uint32_t FreshStamp() {
    static std::uint32_t counter = 0;
    return static_cast<std::uint32_t>(getpid()) * 1000u + ++counter;
}

class LabSelfTest : public LabTest {};

TEST_F(LabSelfTest, BothConcentratorsOfferTheirNamesAndServices) {
    MonitorSocket monitor;
    ASSERT_EQ(monitor.error(), "");
    const Bytes host_uniq = ProbeHostUniq(FreshStamp());
    ASSERT_TRUE(monitor.SendPadi(host_uniq));
    const auto offers = monitor.CollectOffers(host_uniq, 2, std::chrono::seconds(10));
    ASSERT_EQ(offers.size(), 2u);

    std::map<std::string, Offer> by_name;
    for (const Offer& offer : offers) {
        by_name[offer.ac_name] = offer;
    }
    ASSERT_EQ(by_name.count(std::string(kAc1Name)), 1u);
    ASSERT_EQ(by_name.count(std::string(kAc2Name)), 1u);
    const Offer& one = by_name[std::string(kAc1Name)];
    const Offer& two = by_name[std::string(kAc2Name)];
    EXPECT_EQ(one.source, kAc1Mac);
    EXPECT_EQ(two.source, kAc2Mac);
    EXPECT_EQ(one.services, (std::vector<std::string>{"internet"}));
    EXPECT_EQ(two.services, (std::vector<std::string>{"video", "voice"}));
    // The shape the engine's tag walk meets in the field: Host-Uniq last,
    // after a 20-byte cookie.
    for (const Offer* offer : {&one, &two}) {
        EXPECT_EQ(offer->last_tag, kTagHostUniq);
        EXPECT_EQ(offer->cookie_length, 20u);
    }
}

TEST_F(LabSelfTest, ResponderAnswersWithOneOfferPerSourceMac) {
    constexpr std::size_t kOffers = 40;
    ASSERT_EQ(Lab({"responder", std::to_string(kOffers), "--count-padis", "1"}), 0);
    MonitorSocket monitor;
    ASSERT_EQ(monitor.error(), "");
    const Bytes host_uniq = ProbeHostUniq(FreshStamp());
    ASSERT_TRUE(monitor.SendPadi(host_uniq, "internet"));
    // Only LabAC-One offers "internet"; pppoe-server ignores a PADI asking
    // for a service it does not have.
    const auto offers = monitor.CollectOffers(host_uniq, kOffers + 1, std::chrono::seconds(10));
    ASSERT_EQ(offers.size(), kOffers + 1);

    std::set<MacAddress> sources;
    std::set<std::string> names;
    for (const Offer& offer : offers) {
        if (offer.source == kAc1Mac) {
            EXPECT_EQ(offer.ac_name, kAc1Name);
            continue;
        }
        EXPECT_EQ(offer.source[0], 0x02) << "locally administered, unicast";
        EXPECT_EQ(offer.services, (std::vector<std::string>{"internet"}));
        sources.insert(offer.source);
        names.insert(offer.ac_name);
    }
    EXPECT_EQ(sources.size(), kOffers);
    EXPECT_EQ(names.size(), kOffers);
    EXPECT_EQ(names.count("Resp-0001"), 1u);
    EXPECT_EQ(names.count("Resp-0040"), 1u);
    EXPECT_EQ(sources.count(MacAddress{0x02, 0x00, 0x00, 0x00, 0x00, 0x28}), 1u);
}

TEST_F(LabSelfTest, StoppedConcentratorFallsSilentUntilStarted) {
    MonitorSocket monitor;
    ASSERT_EQ(monitor.error(), "");
    ASSERT_EQ(Lab({"ac-stop", "2"}), 0);
    const Bytes first = ProbeHostUniq(FreshStamp());
    ASSERT_TRUE(monitor.SendPadi(first));
    auto offers = monitor.CollectOffers(first, 1, std::chrono::seconds(10));
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].ac_name, kAc1Name);
    // AC 1's answer to a second probe marks the time by which a running AC 2
    // would have answered the first: no fixed wait shows that none comes.
    const Bytes second = ProbeHostUniq(FreshStamp());
    ASSERT_TRUE(monitor.SendPadi(second));
    bool answered = false;
    std::vector<std::string> late;
    monitor.Receive(std::chrono::seconds(10), [&](const DiscoveryFrame& frame) {
        const auto offer = ReadOffer(frame);
        if (offer && offer->host_uniq == first) {
            late.push_back(offer->ac_name);
        }
        answered = offer && offer->host_uniq == second;
        return answered;
    });
    ASSERT_TRUE(answered);
    EXPECT_TRUE(late.empty()) << "a stopped concentrator answered: " << late.front();

    ASSERT_EQ(Lab({"ac-start", "2"}), 0);
    const Bytes third = ProbeHostUniq(FreshStamp());
    ASSERT_TRUE(monitor.SendPadi(third));
    offers = monitor.CollectOffers(third, 2, std::chrono::seconds(10));
    EXPECT_EQ(offers.size(), 2u);
}

TEST_F(LabSelfTest, ForeignStationPadiReachesMonitor) {
    MonitorSocket monitor;
    ASSERT_EQ(monitor.error(), "");
    ASSERT_EQ(Lab({"foreign-padi"}), 0);
    bool seen = false;
    monitor.Receive(std::chrono::seconds(10), [&](const DiscoveryFrame& frame) {
        seen = frame.code == kCodePadi && frame.source == kStationMac;
        return seen;
    });
    EXPECT_TRUE(seen);
}

bool MonitorHasCarrier() {
    std::string output;
    if (RunProgram({"ip", "-n", std::string(kMonitorNamespace), "-o", "link", "show",
                    std::string(kMonitorInterface)},
                   &output) != 0) {
        ADD_FAILURE() << output;
        return false;
    }
    return output.find("NO-CARRIER") == std::string::npos &&
           output.find("LOWER_UP") != std::string::npos;
}

TEST_F(LabSelfTest, CableDownTakesTheMonitorCarrierAway) {
    ASSERT_TRUE(MonitorHasCarrier());
    ASSERT_EQ(Lab({"cable-down"}), 0);
    EXPECT_FALSE(MonitorHasCarrier());
    ASSERT_EQ(Lab({"cable-up"}), 0);
    EXPECT_TRUE(MonitorHasCarrier());
}

TEST_F(LabSelfTest, CaptureRecordsProbeAndOffersInFull) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("lwlab-selftest-" + std::to_string(getpid()) + ".pcapng");
    ASSERT_EQ(Lab({"capture-start", file.string()}), 0);
    MonitorSocket monitor;
    ASSERT_EQ(monitor.error(), "");
    const Bytes host_uniq = ProbeHostUniq(FreshStamp());
    ASSERT_TRUE(monitor.SendPadi(host_uniq));
    ASSERT_EQ(monitor.CollectOffers(host_uniq, 2, std::chrono::seconds(10)).size(), 2u);
    ASSERT_EQ(Lab({"capture-stop"}), 0);

    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline(file.c_str(), error);
    ASSERT_NE(pcap, nullptr) << error;
    EXPECT_GE(pcap_snapshot(pcap), 1518);
    int padis = 0;
    int pados = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        const auto frame = ReadDiscoveryFrame(std::span<const std::uint8_t>(data, header->caplen));
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(header->caplen, header->len);
        if (frame->FirstTag(kTagHostUniq) != std::nullopt &&
            Bytes(frame->FirstTag(kTagHostUniq)->begin(), frame->FirstTag(kTagHostUniq)->end()) ==
                host_uniq) {
            padis += frame->code == kCodePadi;
            pados += frame->code == kCodePado;
        }
    }
    pcap_close(pcap);
    std::filesystem::remove(file);
    EXPECT_EQ(padis, 1);
    EXPECT_EQ(pados, 2);
}

}  // namespace
}  // namespace lwlab
