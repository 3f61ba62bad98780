#pragma once

// What the probe engine's tests share: the stations' addresses and the
// frames fed to the engine as the capture would hand them over.

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/linewatch.h"
#include "engine/log_writer.h"
#include "engine_test_support.h"

constexpr MacAddress kOurMac = {0x02, 0x4c, 0x57, 0x10, 0x00, 0x01};
constexpr MacAddress kAcMac = {0x02, 0x4c, 0x57, 0x10, 0x0a, 0x01};
constexpr MacAddress kStationMac = {0x02, 0x4c, 0x57, 0x10, 0x05, 0x01};

inline pcap_pkthdr Header(long seconds, long microseconds, size_t length) {
    pcap_pkthdr header{};
    header.ts.tv_sec = seconds;
    header.ts.tv_usec = microseconds;
    header.caplen = static_cast<uint32_t>(length);
    header.len = static_cast<uint32_t>(length);
    return header;
}

inline void Feed(KtLinewatch& engine, const uint8_t* data, size_t length, long seconds,
                 long microseconds) {
    const pcap_pkthdr header = Header(seconds, microseconds, length);
    engine.HandleFrame(header, data);
}

inline void Feed(KtLinewatch& engine, const std::vector<uint8_t>& frame, long seconds,
                 long microseconds) {
    Feed(engine, frame.data(), frame.size(), seconds, microseconds);
}

// A probe goes out 50 µs before the capture sees it leave at the given
// time; gives its number.
inline uint32_t FeedOwnProbe(KtLinewatch& engine, long seconds, long microseconds) {
    const uint32_t number = engine.RecordProbeSent(seconds * 1000000L + microseconds - 50);
    const ProbeFrame probe = engine.GetProbeFrame();
    Feed(engine, probe.data(), probe.size(), seconds, microseconds);
    return number;
}

inline std::vector<uint8_t> AnswerTo(KtLinewatch& engine, std::string_view acName = "AC-1",
                                     std::string_view service = "internet", size_t padding = 0) {
    const ProbeFrame probe = engine.GetProbeFrame();
    return BuildPado(kOurMac, kAcMac, ProbeHostUniq(probe.data()), acName, service, padding);
}

// Log lines are "[stamp] text\r\n"; the text part.
inline std::vector<std::string> LoggedTexts(KtLogWriter& writer) {
    std::vector<std::string> texts;
    for (const std::string& line : writer.TakeBoxLines()) {
        const size_t start = line.find("] ");
        std::string text = start == std::string::npos ? line : line.substr(start + 2);
        if (text.size() >= 2 && text.ends_with("\r\n")) text.resize(text.size() - 2);
        texts.push_back(text);
    }
    return texts;
}
