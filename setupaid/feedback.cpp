#include "setupaid/feedback.h"

#include <cctype>
#include <cstdint>

#include "setupaid/desktop_launcher.h"
#include "setupaid/setupaid.h"
#include "setupaid/utf8_text.h"

namespace setupaid {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_,";
constexpr char kPadding = kAlphabet[64];
constexpr size_t kMessageCharacters = 384;
constexpr size_t kFirstPartCharacters = 192;

AddressOpener* g_opener = nullptr;

// Lower-case scheme compare without locale.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::string FeedbackEncode(std::string_view bytes) {
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1]))
                                   << 8 |
                               static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) encoded += kAlphabet[(group >> shift) & 0x3F];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        encoded += kAlphabet[(group >> 18) & 0x3F];
        encoded += kAlphabet[(group >> 12) & 0x3F];
        encoded += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : kPadding;
        encoded += kPadding;
    }
    return encoded;
}

std::string PercentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (std::isalnum(byte) != 0 && byte < 0x80) || c == '-' || c == '.' ||
                           c == '_' || c == '~' || c == ',';
        if (plain) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

MessageParts SplitMessage(std::string_view message) {
    MessageParts parts;
    const std::vector<std::string_view> characters = Utf8Characters(message);
    for (size_t i = 0; i < characters.size() && i < kMessageCharacters; ++i) {
        (i < kFirstPartCharacters ? parts.d1 : parts.d2) += characters[i];
    }
    return parts;
}

std::string FeedbackAddress(const FeedbackFields& fields) {
    const MessageParts message = SplitMessage(fields.message);
    const std::string e = WellFormedUtf8(fields.e);
    // The page may carry a query of its own, and a fragment, which must stay
    // last or the browser would take our fields for part of it.
    const size_t hash = fields.pageAddress.find('#');
    const std::string_view page = fields.pageAddress.substr(0, hash);
    const std::string_view fragment =
        hash == std::string_view::npos ? std::string_view() : fields.pageAddress.substr(hash);
    std::string address(page);
    if (page.find('?') == std::string_view::npos) {
        address += '?';
    } else if (page.back() != '?' && page.back() != '&') {
        address += '&';
    }
    address += "p=" + PercentEncode(fields.p);
    const auto add = [&](std::string_view name, std::string_view value) {
        if (value.empty()) return;
        address += '&';
        address += name;
        address += '=';
        address += PercentEncode(value);
    };
    add("v", fields.v);
    add("r", fields.r);
    add("e", FeedbackEncode(e));
    add("d1", FeedbackEncode(message.d1));
    add("d2", FeedbackEncode(message.d2));
    address += fragment;
    return address;
}

bool IsWebAddress(std::string_view address) {
    if (!StartsWithNoCase(address, "http://") && !StartsWithNoCase(address, "https://")) {
        return false;
    }
    for (char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return false;
    }
    return true;
}

AddressOpener& Opener() {
    static DesktopLauncher real;
    if (g_opener != nullptr) return *g_opener;
    return real;
}

void SetAddressOpener(AddressOpener* opener) {
    g_opener = opener;
}

int SendFeedbackPage(const FeedbackFields& fields) {
    if (fields.pageAddress.empty()) return SETUPAID_DONE;
    if (!IsWebAddress(fields.pageAddress)) return SETUPAID_FAILED;
    return Opener().Open({"xdg-open", FeedbackAddress(fields)});
}

}  // namespace setupaid
