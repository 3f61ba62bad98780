#include "connections/pppd_words.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "connections/peers_entry.h"
#include "test_support.h"

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
    return {"plugin",           "passwordfd.so", "plugin",     "rp-pppoe.so", "nic-eth0",
            "pppoe-ac",         acName,          "noauth",     "usepeerdns",  "noipdefault",
            "hide-password",    "defaultroute",  "refuse-pap", "refuse-eap",  "refuse-mschap",
            "refuse-mschap-v2", "nopersist"};
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
    EXPECT_TRUE(ReadPeersEntry(*text).loadsPasswordPlugin);
    EXPECT_TRUE(IsWrittenByLineWatchman(*text));
}

// The first word of an options file as the real pppd reads it: pppd names an
// option it does not know, as read, in "unrecognized option 'WORD'". Nothing
// when pppd cannot be run or said something else.
std::optional<std::string> PppdReadsFirstWord(const TempFolder& folder, const std::string& text) {
    const std::string path = folder.File("options");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    FILE* pppd = popen(("/usr/sbin/pppd file '" + path + "' 2>&1").c_str(), "r");
    if (pppd == nullptr) {
        return std::nullopt;
    }
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pppd)) > 0;) {
        output.append(buffer, n);
    }
    pclose(pppd);
    constexpr std::string_view kMarker = "unrecognized option '";
    const size_t start = output.find(kMarker);
    const size_t end = output.rfind('\'');
    if (start == std::string::npos || end < start + kMarker.size()) {
        return std::nullopt;
    }
    return output.substr(start + kMarker.size(), end - start - kMarker.size());
}

}  // namespace

TEST(PppdWordReading, FollowsQuotesEscapesCommentsAndJoinedLines) {
    EXPECT_EQ(Texts("plugin rp-pppoe.so  # a comment \"with quotes\n nic-eth0\n"),
              (Strings{"plugin", "rp-pppoe.so", "nic-eth0"}));
    EXPECT_EQ(Texts("user \"two words\" 'single \"inner\"' mi\"xed q\"uote"),
              (Strings{"user", "two words", "single \"inner\"", "mixed quote"}));
    // \v is no escape of pppd's: it stands for "v". \x without a digit is a
    // NUL, which ends the word.
    EXPECT_EQ(Texts(R"(a\sb c\\d \"e \101\x42\x4 \7z \xg ab\0cd \777)"),
              (Strings{"a b", "c\\d", "\"e", "AB\x04", "\az", "", "ab", "\xff"}));
    EXPECT_EQ(Texts("one\\\ntwo three\\\n four"), (Strings{"onetwo", "three", "four"}));
    // An unquoted '#' ends the word and starts a comment.
    EXPECT_EQ(Texts("\"a\\\"b # c\" d#e # rest\npppoe-ac MyISP#main\nnext"),
              (Strings{"a\"b # c", "d", "pppoe-ac", "MyISP", "next"}));
    EXPECT_EQ(Texts("\"\" x \"\\n\\t\\r\\a\\b\\f\\v\""), (Strings{"", "x", "\n\t\r\a\b\fv"}));
    EXPECT_EQ(Texts("\"unclosed word"), (Strings{"unclosed word"}));
    EXPECT_EQ(Texts("x \"\""), (Strings{"x"}));  // an empty word at the very end is none
    EXPECT_TRUE(Texts("   # only a comment \\\n\t\n").empty());
    EXPECT_EQ(Texts("\\#x \\ y"), (Strings{"#x", " y"}));
    EXPECT_EQ(ReadPeersEntry("plugin rp-pppoe.so nic-eth0 pppoe-ac MyISP#main\n").acName, "MyISP");
}

TEST(PppdWordReading, ReadsTrickyEntriesAsTheRealPppdReadsThem) {
    if (access("/usr/sbin/pppd", X_OK) != 0) {
        GTEST_SKIP() << "pppd is not installed (Debian package ppp)";
    }
    TempFolder folder("lwwords");
    // Each text starts with a word pppd does not know as an option.
    const Strings tricky = {
        "zzMyISP#main\n",
        "zz\\v\\e\\q\\s\\t\\a\\b\\f\\n\\r\n",
        "zz\"a#b c\"'d\"e'\n",
        "zz\\x4Z\\x41\\x4a1\\101\\1012\\777\n",
        "zzab\\0cd\n",
        "zz\\xZZ\n",
        "\\\nzz\\\nb c\n",
        "# comment \\\nzzc\n",
        "\\#zz\n",
        "\"zz\nline\" next\n",
        "\"zz unclosed",
        "zz\x80\xff\\\"\\'\\\\\n",
        "zz\"\"x\\ y\n",
        "zz\r\n",
        "\f\vzz\t\n",
    };
    for (const std::string& text : tricky) {
        const std::optional<std::string> pppd = PppdReadsFirstWord(folder, text);
        ASSERT_TRUE(pppd.has_value()) << testing::PrintToString(text);
        const std::vector<PppdWords::Word> words = PppdWords::ReadWords(text);
        ASSERT_FALSE(words.empty()) << testing::PrintToString(text);
        EXPECT_EQ(words[0].text, *pppd) << testing::PrintToString(text);
    }
    // And an entry the program wrote for a hostile AC-Name: pppd's first
    // unknown word there is the AC-Name, read back whole.
    const std::string acName = "x\" plugin /tmp/e.so #\n\\v\x01\xff'";
    const std::optional<std::string> entry = BuildPeersEntry({acName, "eth0"}, "rp-pppoe.so");
    ASSERT_TRUE(entry.has_value());
    const size_t target = entry->find("pppoe-ac ");
    ASSERT_NE(target, std::string::npos);
    EXPECT_EQ(PppdReadsFirstWord(folder, entry->substr(target + 9)), acName);
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
    for (const char* good : {"isp", "LabAC-One (1)", "a&b", "caf\xc3\xa9", "x.y", "x..", "~",
                             "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d", "a-", "\xf0\x9f\x93\xa1 AC"}) {
        EXPECT_TRUE(IsValidEntryName(good)) << good;
    }
    // Controls, C1 controls, invalid UTF-8 (a lone continuation byte, an
    // overlong slash, a surrogate), bidi controls, zero-width characters and
    // other format characters, a leading '-'.
    const char* const kBad[] = {"",
                                ".",
                                "..",
                                ".hidden",
                                "a/b",
                                "a\\b",
                                "a:b",
                                "a*",
                                "a?",
                                "a\"b",
                                "<a",
                                "a>",
                                "a|b",
                                "a\tb",
                                "a\nb",
                                "a\x7f",
                                "a\xc2\x85",
                                "a\x80",
                                "a\xc0\xaf",
                                "a\xed\xa0\x80",
                                "evil\xe2\x80\xaetxt.exe",
                                "a\xe2\x80\x8fz",
                                "a\xe2\x81\xa6z",
                                "a\xd8\x9c",
                                "a\xe2\x80\x8bz",
                                "a\xe2\x80\x8dz",
                                "a\xef\xbb\xbf",
                                "a\xc2\xadz",
                                "a\xe2\x80\xa8",
                                "a\xf3\xa0\x80\x81",
                                "a\xef\xb8\x8f",
                                "-x",
                                "--help"};
    for (const char* bad : kBad) {
        EXPECT_FALSE(IsValidEntryName(bad)) << testing::PrintToString(std::string(bad));
    }
    EXPECT_TRUE(IsValidEntryName(std::string(kMaxEntryNameBytes, 'n')));
    EXPECT_FALSE(IsValidEntryName(std::string(kMaxEntryNameBytes + 1, 'n')));

    // The suggestion drops what hides or turns the text, and leading dashes.
    EXPECT_EQ(EntryNameSuggestionBase("\xe2\x80\xae-\xe2\x80\x8b-Lab\xe2\x80\x8f"
                                      "AC\x01\xff-1"),
              "LabAC-1");
    EXPECT_EQ(EntryNameSuggestionBase("caf\xc3\xa9 \xd7\xa9"), "caf\xc3\xa9 \xd7\xa9");
    EXPECT_EQ(EntryNameSuggestionBase("\xe2\x81\xa6--\xe2\x81\xa9"), "");
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
