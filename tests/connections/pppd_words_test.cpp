#include "connections/pppd_words.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "connections/peers_entry.h"

namespace {

std::vector<std::string> Texts(std::string_view options) {
    std::vector<std::string> out;
    for (const PppdWords::Word& word : PppdWords::ReadWords(options)) {
        out.push_back(word.text);
    }
    return out;
}

using Strings = std::vector<std::string>;

// The words an entry built from these fields must read back as, in order.
Strings ExpectedEntryWords(const std::string& acName) {
    return {"plugin",     "rp-pppoe.so", "nic-eth0",      "pppoe-ac",         acName,
            "noauth",     "usepeerdns",  "noipdefault",   "hide-password",    "defaultroute",
            "refuse-pap", "refuse-eap",  "refuse-mschap", "refuse-mschap-v2", "nopersist"};
}

void ExpectRoundTrip(const std::string& acName) {
    const std::optional<std::string> text =
        BuildPeersEntry(PeersEntryFields{acName, "eth0"}, "rp-pppoe.so");
    ASSERT_TRUE(text.has_value()) << "refused: " << testing::PrintToString(acName);
    const std::vector<PppdWords::Word> words = PppdWords::ReadWords(*text);
    Strings read;
    size_t targets = 0;
    for (size_t i = 0; i < words.size(); ++i) {
        EXPECT_FALSE(words[i].truncated);
        read.push_back(words[i].text);
        if (words[i].text == "pppoe-ac" || words[i].text == "rp_pppoe_ac") {
            ++targets;
        }
    }
    EXPECT_EQ(read, ExpectedEntryWords(acName)) << *text;
    EXPECT_EQ(targets, acName == "pppoe-ac" ? 2u : 1u);
    EXPECT_EQ(ReadPeersEntry(*text).acName, acName);
    EXPECT_EQ(ReadPeersEntry(*text).deviceType, "PPPoE");
}

}  // namespace

TEST(PppdWordReading, FollowsQuotesEscapesCommentsAndJoinedLines) {
    EXPECT_EQ(Texts("plugin rp-pppoe.so  # a comment \"with quotes\n nic-eth0\n"),
              (Strings{"plugin", "rp-pppoe.so", "nic-eth0"}));
    EXPECT_EQ(Texts("user \"two words\" 'single \"inner\"' mi\"xed q\"uote"),
              (Strings{"user", "two words", "single \"inner\"", "mixed quote"}));
    EXPECT_EQ(Texts(R"(a\sb c\\d \"e \101\x42\x4 \7z \xg)"),
              (Strings{"a b", "c\\d", "\"e", "AB\x04", "\az", "xg"}));
    EXPECT_EQ(Texts("one\\\ntwo three\\\n four"), (Strings{"onetwo", "three", "four"}));
    EXPECT_EQ(Texts("\"a\\\"b # c\" d#e # rest"), (Strings{"a\"b # c", "d#e"}));
    EXPECT_EQ(Texts("\"\" x \"\\n\\t\\r\\a\\b\\f\\v\""), (Strings{"", "x", "\n\t\r\a\b\f\v"}));
    EXPECT_EQ(Texts("\"unclosed word"), (Strings{"unclosed word"}));
    EXPECT_TRUE(Texts("   # only a comment\n\t\n").empty());
}

TEST(PppdWordReading, KeepsAtMost1023BytesOfAWord) {
    const std::string longWord(1500, 'w');
    const std::vector<PppdWords::Word> words = PppdWords::ReadWords(longWord + " next");
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].text, std::string(1023, 'w'));
    EXPECT_TRUE(words[0].truncated);
    EXPECT_EQ(words[1].text, "next");
    EXPECT_FALSE(words[1].truncated);
}

TEST(PeersEntryWriting, HostileAcNamesReadBackAsExactlyOneWord) {
    std::string allBytes;
    for (int byte = 1; byte < 256; ++byte) {
        allBytes += static_cast<char>(byte);
    }
    ASSERT_EQ(allBytes.size(), kMaxAcNameBytes);
    const Strings hostile = {
        "x\" plugin /tmp/e.so \"",
        "x' plugin /tmp/e.so '",
        "ac\nplugin /tmp/e.so",
        "ac\\",
        "\\\nplugin",
        "#comment",
        "a # b",
        "\\x41\\101\\s",
        "\"",
        "'",
        "pppoe-ac",
        "\xff\xfe\x80 caf\xc3\xa9",
        " leading and trailing ",
        "\t\r\v\f",
        std::string(kMaxAcNameBytes, '"'),
        std::string(kMaxAcNameBytes, '\\'),
        allBytes,
    };
    for (const std::string& acName : hostile) {
        ExpectRoundTrip(acName);
    }
    // Random names from every byte but NUL, of every length up to 255.
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<size_t> length(1, kMaxAcNameBytes);
    for (int round = 0; round < 2000; ++round) {
        std::string acName(length(random), ' ');
        for (char& c : acName) {
            c = static_cast<char>(byte(random));
        }
        ExpectRoundTrip(acName);
        if (HasFailure()) {
            break;
        }
    }
}

TEST(PeersEntryWriting, RefusesWhatCannotBeWrittenAsOneWord) {
    EXPECT_FALSE(BuildPeersEntry({std::string("a\0b", 3), "eth0"}, "rp-pppoe.so"));
    EXPECT_FALSE(BuildPeersEntry({"", "eth0"}, "rp-pppoe.so"));
    EXPECT_FALSE(BuildPeersEntry({std::string(kMaxAcNameBytes + 1, 'a'), "eth0"}, "rp-pppoe.so"));
    EXPECT_TRUE(BuildPeersEntry({std::string(kMaxAcNameBytes, 'a'), "eth0"}, "rp-pppoe.so"));
    for (const char* interface : {"", "eth 0", "eth0\"", "a/b", "#x", "sixteen-bytes-xx", "e\n"}) {
        EXPECT_FALSE(BuildPeersEntry({"AC", interface}, "rp-pppoe.so")) << interface;
    }
    EXPECT_FALSE(PppdWords::QuoteWord(std::string(PppdWords::kMaxWordBytes, 'a')));
    EXPECT_TRUE(PppdWords::QuoteWord(std::string(PppdWords::kMaxWordBytes - 1, 'a')));
}

TEST(PeersEntryNames, FollowTheEntryNameRules) {
    for (const char* good : {"isp", "LabAC-One (1)", "a&b", "caf\xc3\xa9", "x.y", "x..", "~"}) {
        EXPECT_TRUE(IsValidEntryName(good)) << good;
    }
    for (const char* bad : {"", ".", "..", ".hidden", "a/b", "a\\b", "a:b", "a*", "a?", "a\"b",
                            "<a", "a>", "a|b", "a\tb", "a\nb", "a\x7f"}) {
        EXPECT_FALSE(IsValidEntryName(bad)) << bad;
    }
    EXPECT_TRUE(IsValidEntryName(std::string(kMaxEntryNameBytes, 'n')));
    EXPECT_FALSE(IsValidEntryName(std::string(kMaxEntryNameBytes + 1, 'n')));
}

TEST(PeersEntryReading, TakesTheDeviceTypeFromThePluginAndTheLastTarget) {
    PeersEntryTarget target = ReadPeersEntry(
        "plugin /usr/lib/pppd/2.4.9/PPPoE.so nic-eth0 rp_pppoe_ac first pppoe-ac \"second\"");
    EXPECT_EQ(target.deviceType, "PPPoE");
    EXPECT_EQ(target.acName, "second");
    target = ReadPeersEntry("plugin pppoatm.so 0.35 pppoe-ac AC");
    EXPECT_EQ(target.deviceType, "pppoatm.so");
    target = ReadPeersEntry("/dev/ttyS0 115200 user bob # plugin rp-pppoe.so\n");
    EXPECT_EQ(target.deviceType, "modem");
    EXPECT_FALSE(target.acName.has_value());
    target = ReadPeersEntry("plugin rp-pppoe.so pppoe-service ISP pppoe-ac AC");
    EXPECT_EQ(target.serviceName, "ISP");
    // An option's value is not read as an option: "user pppoe-ac" names a user.
    target = ReadPeersEntry("plugin rp-pppoe.so user pppoe-ac name rp_pppoe_ac");
    EXPECT_FALSE(target.acName.has_value());
}
