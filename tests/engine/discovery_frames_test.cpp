#include "engine/discovery_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/network_text.h"
#include "fuzz/discovery_frame_builder.h"

using namespace std::string_literals;

namespace {

constexpr MacAddress kStation{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
constexpr MacAddress kOtherStation{0x02, 0x00, 0x5E, 0x10, 0x00, 0x02};
constexpr MacAddress kConcentrator{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr uint32_t kStamp = 0x8A3F0C21;
constexpr uint32_t kOtherStamp = 0x8A3F0C22;

// Reads the first `length` bytes from a heap block of exactly that size, so
// that a read past the captured bytes is caught by AddressSanitizer.
FrameReading Read(const std::vector<uint8_t>& frame,
                  size_t length = std::numeric_limits<size_t>::max()) {
    length = std::min(length, frame.size());
    std::unique_ptr<uint8_t[]> captured(new uint8_t[length]);
    std::copy_n(frame.begin(), length, captured.get());
    return ReadDiscoveryFrame(captured.get(), length, kStation, kStamp);
}

DiscoveryFrameBuilder OfferToStation() {
    return DiscoveryFrameBuilder::Pado(kStation, kConcentrator);
}

std::vector<uint8_t> OwnProbe(const MacAddress& source, uint32_t stamp) {
    ProbeFrame probe;
    BuildProbeFrame(probe, stamp);
    SetProbeSourceMac(probe, &source);
    return {probe.begin(), probe.end()};
}

TEST(PadoReading, MatchesTypicalOfferAndReadsItsNames) {
    const FrameReading reading = Read(TypicalOffer(kStation, kConcentrator, kStamp));
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.sourceMac, kConcentrator);
    EXPECT_EQ(reading.acName, "ac-north");
    EXPECT_EQ(reading.serviceName, "internet");
}

TEST(PadoReading, IgnoresOfferSentToAnotherStationEvenWithOurStamp) {
    const auto frame = DiscoveryFrameBuilder::Pado(kOtherStation, kConcentrator)
                           .Tag(kTagAcName, "ac")
                           .HostUniq(kStamp)
                           .Bytes();
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
}

TEST(PadoReading, DropsHostUniqOfWrongLength) {
    // 13 bytes: the marker alone; 21: marker, stamp and four more bytes.
    const auto shortUniq =
        OfferToStation().Tag(kTagAcName, "ac").Tag(kTagHostUniq, kInstanceMarker).Bytes();
    EXPECT_EQ(Read(shortUniq).kind, FrameKind::Ignored);
    const auto longUniq = OfferToStation()
                              .Tag(kTagAcName, "ac")
                              .Tag(kTagHostUniq, std::string("Line Watchman\x8a\x3f\x0c\x21xxxx"))
                              .Bytes();
    EXPECT_EQ(Read(longUniq).kind, FrameKind::Ignored);
}

TEST(PadoReading, DropsHostUniqOfOtherInstance) {
    const auto frame = OfferToStation().Tag(kTagAcName, "ac").HostUniq(kOtherStamp).Bytes();
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
}

TEST(PadoReading, ComparesTheStampButNotTheMarker) {
    const auto frame =
        OfferToStation().Tag(kTagAcName, "ac").HostUniq(kStamp, "Something els").Bytes();
    EXPECT_EQ(Read(frame).kind, FrameKind::PadoMatched);
}

TEST(PadoReading, IgnoresOfferWithoutHostUniq) {
    const auto frame =
        OfferToStation().Tag(kTagAcName, "ac").Tag(kTagServiceName, "internet").Bytes();
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
}

TEST(PadoReading, FirstHostUniqDecides) {
    const auto foreignFirst =
        OfferToStation().HostUniq(kOtherStamp).HostUniq(kStamp).Tag(kTagAcName, "ac").Bytes();
    EXPECT_EQ(Read(foreignFirst).kind, FrameKind::Ignored);
    const auto oursFirst =
        OfferToStation().HostUniq(kStamp).Tag(kTagHostUniq, "junk").Tag(kTagAcName, "ac").Bytes();
    const FrameReading reading = Read(oursFirst);
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, "ac");
}

TEST(PadoReading, EmptyServiceNameReadsDefault) {
    const auto frame = OfferToStation().Tag(kTagServiceName, "").HostUniq(kStamp).Bytes();
    EXPECT_EQ(Read(frame).serviceName, "Default");
}

TEST(PadoReading, AbsentNamesStayEmpty) {
    const FrameReading reading = Read(OfferToStation().HostUniq(kStamp).Bytes());
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.serviceName, "");
    EXPECT_EQ(reading.acName, "");
}

TEST(PadoReading, LaterTagReplacesEarlier) {
    const FrameReading reading = Read(OfferToStation()
                                          .Tag(kTagServiceName, "first")
                                          .Tag(kTagAcName, "ac-one")
                                          .HostUniq(kStamp)
                                          .Tag(kTagServiceName, "second")
                                          .Tag(kTagAcName, "ac-two")
                                          .Bytes());
    EXPECT_EQ(reading.serviceName, "second");
    EXPECT_EQ(reading.acName, "ac-two");
    // An empty Service-Name after a named one replaces it too.
    EXPECT_EQ(Read(OfferToStation()
                       .Tag(kTagServiceName, "first")
                       .Tag(kTagServiceName, "")
                       .HostUniq(kStamp)
                       .Bytes())
                  .serviceName,
              "Default");
}

TEST(PadoReading, CutsAcNameToTwentyFiveBytes) {
    const FrameReading reading = Read(OfferToStation()
                                          .Tag(kTagAcName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123")
                                          .HostUniq(kStamp)
                                          .Bytes());
    EXPECT_EQ(reading.acName, "ABCDEFGHIJKLMNOPQRSTUVWXY");
    // The whole name is kept beside it, up to 255 bytes, as a connection target.
    EXPECT_EQ(reading.fullAcName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
    const std::string longest(300, 'L');
    EXPECT_EQ(Read(OfferToStation().Tag(kTagAcName, longest).HostUniq(kStamp).Bytes()).fullAcName,
              longest.substr(0, kMaxTargetAcNameLength));
    const std::string exact(kMaxAcNameLength, 'n');
    EXPECT_EQ(Read(OfferToStation().Tag(kTagAcName, exact).HostUniq(kStamp).Bytes()).acName, exact);
}

TEST(PadoReading, SkipsCookieRelayAndVendorTags) {
    const FrameReading reading = Read(OfferToStation()
                                          .Tag(0x0104, std::string(20, '\x01'))
                                          .Tag(0x0110, "relay")
                                          .Tag(0x0105, "vendor")
                                          .Tag(0x0201, "service error")
                                          .Tag(kTagAcName, "ac")
                                          .HostUniq(kStamp)
                                          .Bytes());
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, "ac");
    EXPECT_EQ(reading.serviceName, "");
}

TEST(PadoReading, IgnoresOtherCodesAndEtherTypes) {
    auto frame = TypicalOffer(kStation, kConcentrator, kStamp);
    for (const uint8_t code :
         std::vector<uint8_t>{0x00, 0x19, 0x65, 0xA7}) {  // session, PADR, PADS, PADT
        frame[15] = code;
        EXPECT_EQ(Read(frame).kind, FrameKind::Ignored) << int{code};
    }
    frame = TypicalOffer(kStation, kConcentrator, kStamp);
    frame[13] = 0x64;  // 0x8864, session stage
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
}

TEST(PadiReading, ProbeIsBuiltByteForByte) {
    ProbeFrame probe;
    probe.fill(0xAA);
    BuildProbeFrame(probe, 0x01020304);
    const ProbeFrame expected{
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // broadcast
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // source MAC, zero until set
        0x88, 0x63,                          // discovery
        0x11, 0x09, 0x00, 0x00, 0x00, 0x19,  // v1 t1, PADI, session 0, length 25
        0x01, 0x01, 0x00, 0x00,              // Service-Name, any
        0x01, 0x03, 0x00, 0x11,              // Host-Uniq, 17 bytes
        'L',  'i',  'n',  'e',  ' ',  'W',  'a',  't',  'c',
        'h',  'm',  'a',  'n',  0x01, 0x02, 0x03, 0x04,  // stamp, big-endian
    };
    EXPECT_EQ(probe, expected);
}

TEST(PadiReading, SourceMacIsSetAndCleared) {
    ProbeFrame probe;
    BuildProbeFrame(probe, kStamp);
    ProbeFrame untouched = probe;
    SetProbeSourceMac(probe, &kStation);
    EXPECT_EQ(ProbeSourceMac(probe), kStation);
    EXPECT_TRUE(std::equal(probe.begin() + 6, probe.begin() + 12, kStation.begin()));
    EXPECT_TRUE(std::equal(probe.begin() + 12, probe.end(), untouched.begin() + 12));
    SetProbeSourceMac(probe, nullptr);
    EXPECT_EQ(probe, untouched);
}

TEST(PadiReading, RecognisesOwnProbe) {
    const FrameReading reading = Read(OwnProbe(kStation, kStamp));
    EXPECT_EQ(reading.kind, FrameKind::OwnProbe);
    EXPECT_EQ(reading.sourceMac, kStation);
}

TEST(PadiReading, RecognisesOwnProbeWithZeroSourceMac) {
    // Before the window hands over a MAC the probe goes out with zeros.
    ProbeFrame probe;
    BuildProbeFrame(probe, kStamp);
    const FrameReading reading =
        ReadDiscoveryFrame(probe.data(), probe.size(), MacAddress{}, kStamp);
    EXPECT_EQ(reading.kind, FrameKind::OwnProbe);
}

TEST(PadiReading, RecognisesOwnProbeCapturedWithPadding) {
    auto frame = OwnProbe(kStation, kStamp);
    frame.resize(60, 0);
    EXPECT_EQ(Read(frame).kind, FrameKind::OwnProbe);
}

TEST(PadiReading, ProbeOfOtherInstanceOnSameMac) {
    const FrameReading reading = Read(OwnProbe(kStation, kOtherStamp));
    EXPECT_EQ(reading.kind, FrameKind::OtherInstancePadi);
    EXPECT_EQ(reading.sourceMac, kStation);
}

TEST(PadiReading, SameMacWithoutMarkerIsIgnored) {
    // A PPPoE client on this host: its own Host-Uniq, no marker.
    const auto frame = DiscoveryFrameBuilder::Padi(kStation)
                           .Tag(kTagServiceName, "")
                           .Tag(kTagHostUniq, "\x00\x00\x12\x34pppd-client-x"s)
                           .Bytes();
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
}

TEST(PadiReading, ForeignStationWhateverItCarries) {
    const auto plain = DiscoveryFrameBuilder::Padi(kOtherStation).Tag(kTagServiceName, "").Bytes();
    FrameReading reading = Read(plain);
    EXPECT_EQ(reading.kind, FrameKind::ForeignPadi);
    EXPECT_EQ(reading.sourceMac, kOtherStation);
    // Another machine running this program is a foreign station too.
    reading = Read(OwnProbe(kOtherStation, kStamp));
    EXPECT_EQ(reading.kind, FrameKind::ForeignPadi);
    EXPECT_EQ(reading.sourceMac, kOtherStation);
}

TEST(PadiReading, ShortPadiFromOwnMacIsIgnored) {
    // The marker would sit beyond the declared payload, in the padding.
    auto frame = OwnProbe(kStation, kStamp);
    frame[19] = 24;
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
    // Captured bytes end before the stamp.
    EXPECT_EQ(Read(OwnProbe(kStation, kStamp), 44).kind, FrameKind::Ignored);
    EXPECT_EQ(Read(OwnProbe(kStation, kStamp), 30).kind, FrameKind::Ignored);
}

TEST(MacText, FormatsDisplayAndFileForms) {
    EXPECT_EQ(FormatMacText(kConcentrator), "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(FormatMacFileText(kConcentrator), "00-1a-2b-3c-4d-5e");
    EXPECT_EQ(FormatMacText({0xFF, 0xFE, 0x0A, 0xA0, 0x09, 0x90}), "FF:FE:0A:A0:09:90");
}

TEST(MacText, ParsesTwoDigitAndOneDigitFields) {
    EXPECT_EQ(ParseMacText("00:1A:2b:3C:4d:5E"), kConcentrator);
    EXPECT_EQ(ParseMacText("0:1:2:a:B:f"), (MacAddress{0, 1, 2, 0x0A, 0x0B, 0x0F}));
    EXPECT_EQ(ParseMacText(FormatMacText(kStation)), kStation);
}

TEST(MacText, AcceptsWhiteSpaceBeforeFieldsAndIgnoresTrailingText) {
    EXPECT_EQ(ParseMacText("  00: 1a:2b:\t3c:4d:5e"), kConcentrator);
    EXPECT_EQ(ParseMacText("00:1a:2b:3c:4d:5e\r\n"), kConcentrator);
    EXPECT_EQ(ParseMacText("00:1a:2b:3c:4d:5e:66"), kConcentrator);
    EXPECT_EQ(ParseMacText("00:1a:2b:3c:4d:5e (router)"), kConcentrator);
    // A field ends after two characters; what follows the sixth is ignored.
    const MacAddress ends55{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(ParseMacText("00:11:22:33:44:55x"), ends55);
    EXPECT_EQ(ParseMacText("00:11:22:33:44:556"), ends55);
}

TEST(MacText, RejectsWhatScanfDoesNotFillWithSixFields) {
    for (const char* text : {"00-1a-2b-3c-4d-5e", "00:1a:2b:3c:4d", "00:1a::3c:4d:5e", "",
                             "00:1a:2b:3c:4d:", "001:a:2b:3c:4d:5e", "0x0:1a:2b:3c:4d:5e",
                             "00 :1a:2b:3c:4d:5e", "g0:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:g5",
                             "001a2b3c4d5e", "-:1:2:3:4:5", "+-1:2:3:4:5:6"}) {
        EXPECT_EQ(ParseMacText(text), std::nullopt) << text;
    }
}

// The reference: what sscanf with the "%2x" format makes of the text.
std::optional<MacAddress> ScanfMac(const std::string& text) {
    unsigned fields[6] = {};
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &fields[0], &fields[1], &fields[2],
                    &fields[3], &fields[4], &fields[5]) != 6)
        return std::nullopt;
    MacAddress mac{};
    for (size_t i = 0; i < mac.size(); ++i) mac[i] = static_cast<uint8_t>(fields[i] & 0xFF);
    return mac;
}

TEST(MacText, ReadsEveryTextAsScanfDoes) {
    // Every text of up to three characters from an alphabet of what a field
    // can hold, in each field position, and random texts of the same
    // characters: white space, signs, "0x" prefixes, digits, letters beyond
    // "f", separators and NUL.
    const std::string alphabet = std::string("0019aAfFgxX:-+ \t\v.") + '\0';
    std::vector<std::string> fields{""};
    for (size_t length = 1; length <= 3; ++length) {
        std::vector<std::string> longer;
        for (const std::string& field : fields)
            if (field.size() == length - 1)
                for (char c : alphabet) longer.push_back(field + c);
        fields.insert(fields.end(), longer.begin(), longer.end());
    }
    std::vector<std::string> texts;
    for (const std::string& field : fields) {
        for (size_t position = 0; position < 7; ++position) {
            std::string text;
            for (size_t i = 0; i < 6; ++i) {
                if (i > 0) text += ':';
                text += i == position ? field : "5e";
            }
            if (position == 6) text += field;
            texts.push_back(text);
        }
    }
    uint32_t seed = 12345;
    for (int i = 0; i < 200000; ++i) {
        std::string text;
        const size_t length = (seed >> 8) % 24;
        for (size_t j = 0; j < length; ++j) {
            seed = seed * 1103515245u + 12345u;
            // Colons and digits more often, so that many texts come close.
            const size_t pick = (seed >> 16) % (alphabet.size() + 8);
            text += pick < alphabet.size() ? alphabet[pick] : (pick % 2 == 0 ? ':' : '5');
        }
        seed = seed * 1103515245u + 12345u;
        texts.push_back(text);
    }
    size_t accepted = 0;
    for (const std::string& text : texts) {
        const std::optional<MacAddress> expected = ScanfMac(text);
        accepted += expected.has_value() ? 1 : 0;
        ASSERT_EQ(ParseMacText(text), expected) << '"' << text << '"';
    }
    // The comparison covers both outcomes in number.
    EXPECT_GT(accepted, 1000u);
    EXPECT_GT(texts.size() - accepted, 1000u);
}

TEST(MacText, TheCustomSourceMacCountsOnlyInItsSeventeenCharacterForm) {
    EXPECT_EQ(ParseCustomSourceMac("00:1a:2b:3c:4d:5e"), kConcentrator);
    EXPECT_EQ(ParseCustomSourceMac("0:1a:2b:3c:4d:5e"), std::nullopt);    // parses, 16
    EXPECT_EQ(ParseCustomSourceMac("00:1a:2b:3c:4d:5e "), std::nullopt);  // parses, 18
    EXPECT_EQ(ParseCustomSourceMac("00-1a-2b-3c-4d-5e"), std::nullopt);   // 17, no MAC
}

TEST(HostileFrames, FramesShorterThanTheHeaderAreIgnored) {
    const auto frame = TypicalOffer(kStation, kConcentrator, kStamp);
    for (size_t length = 0; length < kDiscoveryHeaderSize; ++length) {
        EXPECT_EQ(Read(frame, length).kind, FrameKind::Ignored) << length;
    }
    EXPECT_EQ(ReadDiscoveryFrame(nullptr, 0, kStation, kStamp).kind, FrameKind::Ignored);
}

TEST(HostileFrames, EveryTruncationOfAnOfferIsReadSafely) {
    // The capture may cut a frame anywhere: only a cut after the Host-Uniq
    // still matches, and names cut short are not taken.
    const auto frame = TypicalOffer(kStation, kConcentrator, kStamp);
    for (size_t length = 0; length <= frame.size(); ++length) {
        const FrameReading reading = Read(frame, length);
        EXPECT_EQ(reading.kind,
                  length == frame.size() ? FrameKind::PadoMatched : FrameKind::Ignored)
            << length;
    }
}

TEST(HostileFrames, DeclaredLengthBeyondCapture) {
    // The tags that were captured are complete; the walk stops at the capture.
    auto frame = OfferToStation().Tag(kTagAcName, "ac").HostUniq(kStamp).DeclaredLength(0xFFFF);
    FrameReading reading = Read(frame.Bytes());
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, "ac");
    // The capture ends inside the Host-Uniq value.
    const auto cut = OfferToStation().Tag(kTagAcName, "ac").HostUniq(kStamp).DeclaredLength(1400);
    auto bytes = cut.Bytes();
    EXPECT_EQ(Read(bytes, bytes.size() - 1).kind, FrameKind::Ignored);
}

TEST(HostileFrames, DeclaredLengthShorterThanTheTags) {
    // Declared payload ends inside the Host-Uniq: the rest is padding.
    const auto frame =
        OfferToStation().Tag(kTagAcName, "ac").HostUniq(kStamp).DeclaredLength(6 + 20).Bytes();
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
    // Declared payload ends inside a name after the Host-Uniq: matched, the
    // cut name is not taken.
    const auto named = OfferToStation()
                           .HostUniq(kStamp)
                           .Tag(kTagAcName, "ac-north")
                           .DeclaredLength(21 + 4 + 3)
                           .Bytes();
    const FrameReading reading = Read(named);
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, "");
}

TEST(HostileFrames, TagHeaderCutShort) {
    // One to three bytes after the last whole tag cannot hold a header.
    for (const std::string& tail : {"\x01"s, "\x01\x02"s, "\x01\x02\x00"s}) {
        const FrameReading reading =
            Read(OfferToStation().Tag(kTagAcName, "ac").HostUniq(kStamp).Raw(tail).Bytes());
        EXPECT_EQ(reading.kind, FrameKind::PadoMatched) << tail.size();
        EXPECT_EQ(reading.acName, "ac");
    }
    // The same cut before the Host-Uniq is reached leaves nothing to match.
    const auto early = OfferToStation().Tag(kTagAcName, "ac").Raw("\x01\x02").Bytes();
    EXPECT_EQ(Read(early).kind, FrameKind::Ignored);
}

TEST(HostileFrames, TagLengthOnePastTheEnd) {
    // A name whose length claims one byte more than remains ends the walk:
    // the names read before it stand, its own value is not taken.
    FrameReading reading = Read(OfferToStation()
                                    .HostUniq(kStamp)
                                    .Tag(kTagAcName, "kept")
                                    .TagWithLength(kTagAcName, 5, "evil")
                                    .Bytes());
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, "kept");
    // Before the Host-Uniq it hides the Host-Uniq, so nothing matches.
    const auto hiding = OfferToStation()
                            .TagWithLength(kTagAcName, 23, "x")
                            .HostUniq(kStamp)
                            .Bytes();  // 1 + 21 bytes follow the header: one short of 23
    EXPECT_EQ(Read(hiding).kind, FrameKind::Ignored);
    // A Host-Uniq one byte short drops the frame.
    std::string uniq(kInstanceMarker);
    uniq += std::string("\x8a\x3f\x0c", 3);
    const auto shortUniq =
        OfferToStation().Tag(kTagAcName, "ac").TagWithLength(kTagHostUniq, 17, uniq).Bytes();
    EXPECT_EQ(Read(shortUniq).kind, FrameKind::Ignored);
}

TEST(HostileFrames, HugeTagLengthEndsTheWalk) {
    const FrameReading reading = Read(OfferToStation()
                                          .Tag(kTagServiceName, "svc")
                                          .HostUniq(kStamp)
                                          .TagWithLength(kTagServiceName, 0xFFFF, "x")
                                          .DeclaredLength(0xFFFF)
                                          .Bytes());
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.serviceName, "svc");
}

TEST(HostileFrames, ZeroLengthTagsAreStepped) {
    const FrameReading reading = Read(OfferToStation()
                                          .Tag(0x0000, "")  // end-of-list, kept walking
                                          .Tag(0x0104, "")
                                          .Tag(kTagAcName, "")
                                          .Tag(0x0000, "")
                                          .HostUniq(kStamp)
                                          .Tag(0x0105, "")
                                          .Tag(kTagServiceName, "")
                                          .Bytes());
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, "");
    EXPECT_EQ(reading.serviceName, "Default");
}

TEST(HostileFrames, EthernetPaddingIsNeverRead) {
    // Padding that looks like a Service-Name after a matched offer.
    auto frame = OfferToStation()
                     .HostUniq(kStamp)
                     .Padding("\x01\x01\x00\x04"s + "evil")
                     .PadToMinimum()
                     .Bytes();
    ASSERT_EQ(frame.size(), 60u);
    FrameReading reading = Read(frame);
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.serviceName, "");
    // A Host-Uniq with our stamp that lies only in the padding.
    std::string uniq = "\x01\x03\x00\x11"s;
    uniq += kInstanceMarker;
    uniq += std::string("\x8a\x3f\x0c\x21", 4);
    frame = OfferToStation().Tag(kTagAcName, "ac").Padding(uniq).PadToMinimum().Bytes();
    EXPECT_EQ(Read(frame).kind, FrameKind::Ignored);
}

TEST(HostileFrames, NamesKeepTheirRawBytesUntilDisplayed) {
    const std::string acName = "a\0b\x1b[2J\"q'\xe2\x80\xae"s;
    const std::string service = "\x1b]0;title\x07 \xe2\x81\xa6x"s;
    const FrameReading reading = Read(OfferToStation()
                                          .Tag(kTagAcName, acName)
                                          .Tag(kTagServiceName, service)
                                          .HostUniq(kStamp)
                                          .Bytes());
    ASSERT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, acName);
    EXPECT_EQ(reading.serviceName, service);
    EXPECT_EQ(DisplayNetworkText(reading.acName), "a\\x00b\\x1b[2J\"q'\\u202e");
    EXPECT_EQ(DisplayNetworkText(reading.serviceName), "\\x1b]0;title\\x07 \\u2066x");
}

TEST(HostileFrames, LongestNamesOfAFullSizeFrame) {
    // Frames as long as the capture keeps: a 1484-byte Service-Name is read
    // whole, a 1484-byte AC-Name is cut, and the Host-Uniq after them matches.
    const std::string longName(1484, 'S');
    FrameReading reading =
        Read(OfferToStation().Tag(kTagServiceName, longName).HostUniq(kStamp).Bytes());
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.serviceName, longName);
    const auto frame = OfferToStation()
                           .Tag(kTagAcName, std::string(1484, 'A'))
                           .Tag(kTagServiceName, "svc")
                           .HostUniq(kStamp)
                           .Bytes();
    EXPECT_GT(frame.size(), 1518u);
    reading = Read(frame);
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, std::string(kMaxAcNameLength, 'A'));
    EXPECT_EQ(reading.serviceName, "svc");
    // Cut by a 1518-byte capture, the Host-Uniq at the end is lost.
    EXPECT_EQ(Read(frame, 1518).kind, FrameKind::Ignored);
}

TEST(HostileFrames, FullSizeOfferWithHostUniqLastMatches) {
    // An offer that fills a 1518-byte capture exactly, Host-Uniq last.
    const size_t nameLength = 1518 - kDiscoveryHeaderSize - 4 - 4 - 8 - (4 + kHostUniqLength);
    const auto frame = OfferToStation()
                           .Tag(kTagServiceName, std::string(nameLength, 'x'))
                           .Tag(kTagAcName, "ac-north")
                           .HostUniq(kStamp)
                           .Bytes();
    ASSERT_EQ(frame.size(), 1518u);
    const FrameReading reading = Read(frame);
    EXPECT_EQ(reading.kind, FrameKind::PadoMatched);
    EXPECT_EQ(reading.acName, "ac-north");
    EXPECT_EQ(reading.serviceName.size(), nameLength);
}

}  // namespace
