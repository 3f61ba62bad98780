// pado_responder: answers every PADI on an interface with N PADO frames from N
// distinct, locally administered source MACs (02:00:00:xx:xx:xx), so that
// the monitor can be tested against many access concentrators at once.
//
//   pado_responder -i IFACE [-n N] [--count-padis K] [--name-prefix TEXT] [--flood]
//
// Each offer carries AC-Name "<prefix><index>" (index from 1, four digits at
// least), the PADI's first Service-Name (or an empty one), its Host-Uniq and
// Relay-Session-Id byte for byte. Prints "ready" once listening, then one line
// per PADI answered. With --flood every offer comes from a MAC and AC-Name
// never offered before (the indexes go on from one PADI to the next), as a
// hostile station inventing concentrators would send them.
#include <arpa/inet.h>
#include <getopt.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lab/tools/pppoe_frame.h"

namespace {

// 24 bits of index in the last three bytes of 02:00:00:xx:xx:xx.
constexpr unsigned long kMaxOffers = 0xffffff;

struct Options {
    std::string interface;
    unsigned long offers = 1;
    unsigned long count_padis = 0;  // 0 = answer forever
    std::string name_prefix = "Resp-";
    bool flood = false;
};

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: pado_responder -i IFACE [-n N] [--count-padis K] [--name-prefix TEXT]\n"
                 "                      [--flood]\n"
                 "  -i, --interface IFACE  interface to listen and answer on\n"
                 "  -n, --offers N         PADO frames per PADI, from N source MACs (1..%lu)\n"
                 "  --count-padis K        exit after answering K PADIs (default: never)\n"
                 "  --name-prefix TEXT     AC-Name prefix (default \"Resp-\")\n"
                 "  --flood                new MACs and AC-Names in every answer\n",
                 kMaxOffers);
}

bool ParseNumber(const char* text, unsigned long low, unsigned long high, unsigned long& out) {
    const std::string_view view(text);
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc() || end != view.data() + view.size() || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    enum { kCountPadis = 256, kNamePrefix, kFlood };
    static const option kLong[] = {
        {"interface", required_argument, nullptr, 'i'},
        {"offers", required_argument, nullptr, 'n'},
        {"count-padis", required_argument, nullptr, kCountPadis},
        {"name-prefix", required_argument, nullptr, kNamePrefix},
        {"flood", no_argument, nullptr, kFlood},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    while ((c = getopt_long(argc, argv, "i:n:h", kLong, nullptr)) != -1) {
        switch (c) {
            case 'i':
                options.interface = optarg;
                break;
            case 'n':
                if (!ParseNumber(optarg, 1, kMaxOffers, options.offers)) {
                    std::fprintf(stderr, "pado_responder: -n needs a number from 1 to %lu\n",
                                 kMaxOffers);
                    return false;
                }
                break;
            case kCountPadis:
                if (!ParseNumber(optarg, 1, 0xffffffffUL, options.count_padis)) {
                    std::fprintf(stderr, "pado_responder: --count-padis needs a positive number\n");
                    return false;
                }
                break;
            case kNamePrefix:
                options.name_prefix = optarg;
                // The AC-Name must still fit a tag with room for the index.
                if (options.name_prefix.size() > 200) {
                    std::fprintf(stderr, "pado_responder: --name-prefix is limited to 200 bytes\n");
                    return false;
                }
                break;
            case kFlood:
                options.flood = true;
                break;
            case 'h':
                PrintUsage(stdout);
                std::exit(0);
            default:
                PrintUsage(stderr);
                return false;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "pado_responder: unexpected argument\n");
        return false;
    }
    if (options.interface.empty() || options.interface.size() >= IF_NAMESIZE) {
        std::fprintf(stderr, "pado_responder: -i IFACE is required\n");
        PrintUsage(stderr);
        return false;
    }
    return true;
}

std::string FormatMac(const lwlab::MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

lwlab::MacAddress OfferSource(unsigned long index) {
    return {0x02,
            0x00,
            0x00,
            static_cast<std::uint8_t>((index >> 16) & 0xff),
            static_cast<std::uint8_t>((index >> 8) & 0xff),
            static_cast<std::uint8_t>(index & 0xff)};
}

std::string AcName(const std::string& prefix, unsigned long index) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04lu", index);
    return prefix + digits;
}

// Answers one PADI with the offers `first` to `first` + N - 1 (wrapping
// within the 24 bits of a MAC); returns the number of offers sent, or -1
// when the socket failed.
long Answer(int fd, const Options& options, const lwlab::DiscoveryFrame& padi,
            unsigned long first) {
    const auto service = padi.FirstTag(lwlab::kTagServiceName);
    const auto host_uniq = padi.FirstTag(lwlab::kTagHostUniq);
    const auto relay = padi.FirstTag(lwlab::kTagRelaySessionId);
    for (unsigned long offer = 0; offer < options.offers; ++offer) {
        const unsigned long index = (first - 1 + offer) % kMaxOffers + 1;
        auto frame = lwlab::StartDiscoveryFrame(padi.source, OfferSource(index), lwlab::kCodePado);
        lwlab::AppendTag(frame, lwlab::kTagAcName,
                         lwlab::AsBytes(AcName(options.name_prefix, index)));
        lwlab::AppendTag(frame, lwlab::kTagServiceName,
                         service.value_or(std::span<const std::uint8_t>()));
        if (relay) {
            lwlab::AppendTag(frame, lwlab::kTagRelaySessionId, *relay);
        }
        if (host_uniq) {
            lwlab::AppendTag(frame, lwlab::kTagHostUniq, *host_uniq);
        }
        if (!lwlab::FinishDiscoveryFrame(frame)) {
            std::fprintf(stderr, "pado_responder: offer for %s would exceed %zu bytes; not sent\n",
                         FormatMac(padi.source).c_str(), lwlab::kMaxFrame);
            return 0;
        }
        while (send(fd, frame.data(), frame.size(), 0) < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOBUFS) {
                // The device queue is full for a moment; let it drain.
                usleep(100);
                continue;
            }
            std::fprintf(stderr, "pado_responder: send: %s\n", std::strerror(errno));
            return -1;
        }
    }
    return static_cast<long>(options.offers);
}

int OpenSocket(const std::string& interface) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(lwlab::kEtherTypeDiscovery));
    if (fd < 0) {
        std::fprintf(stderr, "pado_responder: socket: %s (needs CAP_NET_RAW)\n",
                     std::strerror(errno));
        return -1;
    }
    const unsigned int index = if_nametoindex(interface.c_str());
    if (index == 0) {
        std::fprintf(stderr, "pado_responder: no interface %s\n", interface.c_str());
        close(fd);
        return -1;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(lwlab::kEtherTypeDiscovery);
    address.sll_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        std::fprintf(stderr, "pado_responder: bind %s: %s\n", interface.c_str(),
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    // Room for a burst of PADIs while a large answer is being sent.
    const int buffer = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return 2;
    }
    const int fd = OpenSocket(options.interface);
    if (fd < 0) {
        return 1;
    }
    // The socket is all the privilege this program needs.
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    std::printf("ready on %s, %lu offers per PADI\n", options.interface.c_str(), options.offers);
    std::fflush(stdout);

    unsigned long answered = 0;
    std::uint8_t buffer[2048];
    while (options.count_padis == 0 || answered < options.count_padis) {
        sockaddr_ll from{};
        socklen_t from_length = sizeof from;
        const ssize_t received = recvfrom(fd, buffer, sizeof buffer, 0,
                                          reinterpret_cast<sockaddr*>(&from), &from_length);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "pado_responder: recv: %s\n", std::strerror(errno));
            close(fd);
            return 1;
        }
        // Our own offers come back to a packet socket as outgoing frames.
        if (from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        // recvfrom never returns more than the buffer; only these bytes are read.
        const auto frame = lwlab::ReadDiscoveryFrame(
            std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(received)));
        if (!frame || frame->code != lwlab::kCodePadi || frame->session != 0) {
            continue;
        }
        // Flooding, each answer goes on from where the last one stopped.
        const unsigned long first = options.flood ? answered * options.offers % kMaxOffers + 1 : 1;
        const long sent = Answer(fd, options, *frame, first);
        if (sent < 0) {
            close(fd);
            return 1;
        }
        ++answered;
        std::printf("answered PADI %lu from %s with %ld offers\n", answered,
                    FormatMac(frame->source).c_str(), sent);
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}
