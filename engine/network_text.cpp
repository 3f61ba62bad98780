#include "engine/network_text.h"

#include <array>
#include <cstdint>

namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// Code points that show nothing, or change how the text around them is
// ordered or broken into lines: Unicode's default-ignorable code points plus
// the separators and annotation controls. Sorted.
constexpr std::array<CodePointRange, 19> kHiddenCodePoints{{
    {0x00AD, 0x00AD},    // soft hyphen
    {0x034F, 0x034F},    // combining grapheme joiner
    {0x061C, 0x061C},    // Arabic letter mark
    {0x115F, 0x1160},    // Hangul fillers
    {0x17B4, 0x17B5},    // Khmer inherent vowels
    {0x180B, 0x180F},    // Mongolian selectors and vowel separator
    {0x200B, 0x200F},    // zero-width space and joiners, LRM, RLM
    {0x2028, 0x2029},    // line and paragraph separators
    {0x202A, 0x202E},    // bidirectional embeddings and overrides
    {0x2060, 0x206F},    // word joiner, invisible operators, bidi isolates
    {0x3164, 0x3164},    // Hangul filler
    {0xFE00, 0xFE0F},    // variation selectors
    {0xFEFF, 0xFEFF},    // zero-width no-break space (byte order mark)
    {0xFFA0, 0xFFA0},    // halfwidth Hangul filler
    {0xFFF0, 0xFFF8},    // unassigned, default-ignorable
    {0xFFF9, 0xFFFB},    // interlinear annotation
    {0x1BCA0, 0x1BCA3},  // shorthand format controls
    {0x1D173, 0x1D17A},  // musical format controls
    {0xE0000, 0xE0FFF},  // tag characters and variation selectors supplement
}};

bool MustEscape(char32_t cp) {
    if (cp >= 0x80 && cp <= 0x9F) {
        return true;  // C1 controls, CSI among them
    }
    for (const CodePointRange& range : kHiddenCodePoints) {
        if (cp < range.first) {
            return false;
        }
        if (cp <= range.last) {
            return true;
        }
    }
    return false;
}

void AppendHex(std::string& out, uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kDigits[(value >> shift) & 0x0F]);
    }
}

void AppendByteEscape(std::string& out, uint8_t byte) {
    out += "\\x";
    AppendHex(out, byte, 2);
}

bool IsContinuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 sequence of two to four bytes at `pos`, as
// RFC 3629 defines it (no overlong forms, no surrogates, nothing above
// U+10FFFF). Returns its length, or 0 when the bytes there are not one.
size_t DecodeSequence(std::string_view raw, size_t pos, char32_t& cp) {
    const auto lead = static_cast<uint8_t>(raw[pos]);
    size_t length = 0;
    uint8_t secondMin = 0x80;
    uint8_t secondMax = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
        if (lead == 0xE0) secondMin = 0xA0;  // overlong
        if (lead == 0xED) secondMax = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
        if (lead == 0xF0) secondMin = 0x90;  // overlong
        if (lead == 0xF4) secondMax = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (raw.size() - pos < length) {
        return 0;
    }
    const auto second = static_cast<uint8_t>(raw[pos + 1]);
    if (second < secondMin || second > secondMax) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<uint8_t>(raw[pos + i]);
        if (!IsContinuation(byte)) {
            return 0;
        }
        cp = (cp << 6) | (byte & 0x3Fu);
    }
    return length;
}

// Bytes of the character at `pos`: a whole well-formed sequence, or one byte.
size_t CharacterLength(std::string_view raw, size_t pos) {
    if (static_cast<uint8_t>(raw[pos]) < 0x80) return 1;
    char32_t cp = 0;
    const size_t length = DecodeSequence(raw, pos, cp);
    return length == 0 ? 1 : length;
}

}  // namespace

size_t CountNetworkTextCharacters(std::string_view raw) {
    size_t count = 0;
    for (size_t pos = 0; pos < raw.size(); pos += CharacterLength(raw, pos)) ++count;
    return count;
}

std::string_view CutNetworkText(std::string_view raw, size_t maxCharacters) {
    size_t pos = 0;
    for (size_t kept = 0; kept < maxCharacters && pos < raw.size(); ++kept)
        pos += CharacterLength(raw, pos);
    return raw.substr(0, pos);
}

std::string DisplayNetworkText(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    size_t pos = 0;
    while (pos < raw.size()) {
        const auto byte = static_cast<uint8_t>(raw[pos]);
        if (byte < 0x80) {
            if (byte == '\\') {
                out += "\\\\";
            } else if (byte < 0x20 || byte == 0x7F) {
                AppendByteEscape(out, byte);
            } else {
                out.push_back(static_cast<char>(byte));
            }
            ++pos;
            continue;
        }
        char32_t cp = 0;
        const size_t length = DecodeSequence(raw, pos, cp);
        if (length == 0) {
            // Only this byte is taken; the next one gets its own chance to
            // start a sequence, so one bad byte never hides a good character.
            AppendByteEscape(out, byte);
            ++pos;
            continue;
        }
        if (MustEscape(cp)) {
            out += cp > 0xFFFF ? "\\U" : "\\u";
            AppendHex(out, static_cast<uint32_t>(cp), cp > 0xFFFF ? 8 : 4);
        } else {
            out.append(raw.substr(pos, length));
        }
        pos += length;
    }
    return out;
}
