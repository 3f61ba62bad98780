#include "engine/network_text.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

// What DisplayNetworkText gives for its own output: only the backslashes are
// doubled again, because nothing else in it needs an escape.
std::string DoubleBackslashes(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\\' ? "\\\\" : std::string(1, c);
    }
    return out;
}

TEST(NetworkText, KeepsPrintableTextAsItIs) {
    EXPECT_EQ(DisplayNetworkText("ac-north \"main\" 'x' ~!@#$%^&*()[]{}/"),
              "ac-north \"main\" 'x' ~!@#$%^&*()[]{}/");
    EXPECT_EQ(DisplayNetworkText("Ростелеком-БРАС"), "Ростелеком-БРАС");
    EXPECT_EQ(DisplayNetworkText("αβγ 中文 ﷺ 😀"), "αβγ 中文 ﷺ 😀");
    EXPECT_EQ(DisplayNetworkText(""), "");
}

TEST(NetworkText, EscapesControlBytes) {
    EXPECT_EQ(DisplayNetworkText("a\0b"s), "a\\x00b");
    EXPECT_EQ(DisplayNetworkText("\x1b[31mred\x1b[0m"), "\\x1b[31mred\\x1b[0m");
    EXPECT_EQ(DisplayNetworkText("one\ntwo\r\tthree\x7f"), "one\\x0atwo\\x0d\\x09three\\x7f");
}

TEST(NetworkText, BackslashIsDoubledSoEscapesAreUnambiguous) {
    EXPECT_EQ(DisplayNetworkText("a\\b"), "a\\\\b");
    // The text "\x1b" and the byte ESC come out differently.
    EXPECT_EQ(DisplayNetworkText("\\x1b"), "\\\\x1b");
    EXPECT_NE(DisplayNetworkText("\\x1b"), DisplayNetworkText("\x1b"));
}

TEST(NetworkText, EscapesC1Controls) {
    EXPECT_EQ(DisplayNetworkText("\xc2\x9b"
                                 "2J"),
              "\\u009b2J");                                 // CSI
    EXPECT_EQ(DisplayNetworkText("\xc2\x85"), "\\u0085");   // NEL
    EXPECT_EQ(DisplayNetworkText("\xc2\xa0"), "\xc2\xa0");  // no-break space stays
}

TEST(NetworkText, EscapesBidirectionalAndInvisibleCharacters) {
    EXPECT_EQ(DisplayNetworkText("abc\u202Egpj.exe"), "abc\\u202egpj.exe");
    EXPECT_EQ(DisplayNetworkText("\u202A\u202B\u202C\u202D"), "\\u202a\\u202b\\u202c\\u202d");
    EXPECT_EQ(DisplayNetworkText("\u2066\u2067\u2068\u2069"), "\\u2066\\u2067\\u2068\\u2069");
    EXPECT_EQ(DisplayNetworkText("\u200E\u200F\u061C"), "\\u200e\\u200f\\u061c");
    EXPECT_EQ(DisplayNetworkText("ac\u200Bnorth\uFEFF"), "ac\\u200bnorth\\ufeff");
    EXPECT_EQ(DisplayNetworkText("x\u2028y\u2029"), "x\\u2028y\\u2029");
    EXPECT_EQ(DisplayNetworkText("soft\u00ADhyphen"), "soft\\u00adhyphen");
    EXPECT_EQ(DisplayNetworkText("\u3164"), "\\u3164");
    // Tag characters can spell hidden ASCII.
    EXPECT_EQ(DisplayNetworkText("ac\U000E0041\U000E007F"), "ac\\U000e0041\\U000e007f");
}

TEST(NetworkText, EscapesEveryByteOfMalformedUtf8) {
    EXPECT_EQ(DisplayNetworkText("\x80"), "\\x80");                    // stray continuation
    EXPECT_EQ(DisplayNetworkText("\xff\xfe"), "\\xff\\xfe");           // never valid
    EXPECT_EQ(DisplayNetworkText("\xc0\xaf"), "\\xc0\\xaf");           // overlong '/'
    EXPECT_EQ(DisplayNetworkText("\xe0\x80\xaf"), "\\xe0\\x80\\xaf");  // overlong '/'
    EXPECT_EQ(DisplayNetworkText("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
    EXPECT_EQ(DisplayNetworkText("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // > U+10FFFF
    EXPECT_EQ(DisplayNetworkText("\xe2\x80"), "\\xe2\\x80");                    // cut at the end
    EXPECT_EQ(DisplayNetworkText("\xe2\x80"
                                 "A\xd0\x96"),
              "\\xe2\\x80A\xd0\x96");
    // A cut sequence followed by the start of a good one keeps the good one.
    EXPECT_EQ(DisplayNetworkText("\xd0\xd0\x96"), "\\xd0\xd0\x96");
    // An AC-Name cut to 25 bytes in the middle of a character.
    EXPECT_EQ(DisplayNetworkText("\xd0\x96\xd0"), "\xd0\x96\\xd0");
}

TEST(NetworkText, OutputNeedsNoFurtherEscapes) {
    // Every one- and two-byte input: the output holds no control byte and no
    // malformed or hidden sequence, so escaping it again only doubles the
    // backslashes.
    for (int first = 0; first < 256; ++first) {
        for (int second = -1; second < 256; ++second) {
            std::string raw(1, static_cast<char>(first));
            if (second >= 0) raw.push_back(static_cast<char>(second));
            const std::string shown = DisplayNetworkText(raw);
            ASSERT_EQ(DisplayNetworkText(shown), DoubleBackslashes(shown))
                << first << ' ' << second;
        }
    }
}

TEST(NetworkTextCut, CountsCharactersAndNeverSplitsASequence) {
    const std::string moscow = "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0";  // Москва
    EXPECT_EQ(CountNetworkTextCharacters(moscow), 6u);
    EXPECT_EQ(CutNetworkText(moscow, 25), moscow);
    EXPECT_EQ(CutNetworkText(moscow, 2), "\xd0\x9c\xd0\xbe");
    EXPECT_EQ(CutNetworkText(moscow, 0), "");
    // Four-byte sequences count once too.
    EXPECT_EQ(CutNetworkText("\xf0\x9f\x98\x80\xf0\x9f\x98\x81", 1), "\xf0\x9f\x98\x80");
    // Every byte outside a well-formed sequence is a character of its own.
    EXPECT_EQ(CountNetworkTextCharacters("\xd0\xd0\x96\xff\xe2\x80"), 5u);
    EXPECT_EQ(CutNetworkText("\xd0\xd0\x96\xff", 2), "\xd0\xd0\x96");
    EXPECT_EQ(CutNetworkText("\xe2\x80"
                             "A",
                             1),
              "\xe2");
    // What is kept shows without a stray byte at its end.
    const std::string name = "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0-01";
    EXPECT_EQ(DisplayNetworkText(CutNetworkText(name, 7)),
              "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0-");
}

TEST(NetworkTextCut, EveryCutEndsWhereACharacterEnds) {
    // The rest of a cut starts a character of its own: the two parts count
    // as many characters as the whole.
    for (int first = 0x80; first < 256; ++first) {
        const std::string raw = {static_cast<char>(first), '\x96', '\x80', '\xbf', 'x'};
        for (size_t n = 0; n <= 5; ++n) {
            const std::string_view cut = CutNetworkText(raw, n);
            ASSERT_EQ(CountNetworkTextCharacters(cut) +
                          CountNetworkTextCharacters(std::string_view(raw).substr(cut.size())),
                      CountNetworkTextCharacters(raw))
                << first << ' ' << n;
        }
    }
}

}  // namespace
