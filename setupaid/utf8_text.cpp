#include "setupaid/utf8_text.h"

namespace setupaid {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed character at the start of text, or 0.
size_t CharacterLength(std::string_view text) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!IsContinuation(at(i))) return 0;
    }
    return length;
}

}  // namespace

std::string_view Utf8Prefix(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    // A character has at most three continuation bytes; stray ones beyond
    // that are cut where they fall.
    size_t end = maxBytes;
    while (end > 0 && maxBytes - end < 3 && IsContinuation(static_cast<unsigned char>(text[end]))) {
        --end;
    }
    if (IsContinuation(static_cast<unsigned char>(text[end]))) end = maxBytes;
    return text.substr(0, end);
}

std::vector<std::string_view> Utf8Characters(std::string_view text) {
    std::vector<std::string_view> characters;
    while (!text.empty()) {
        const size_t length = CharacterLength(text);
        if (length == 0) {
            characters.push_back(kReplacement);
            text.remove_prefix(1);
        } else {
            characters.push_back(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return characters;
}

std::string WellFormedUtf8(std::string_view text) {
    std::string result;
    for (std::string_view character : Utf8Characters(text)) result += character;
    return result;
}

}  // namespace setupaid
