// Feeds arbitrary bytes, as a name or a typed MAC address, to the text rules
// for what strangers on the segment send and what the user types: the escaping
// for display and the MAC text reader. Each input is copied into a heap block
// of exactly its size so that AddressSanitizer reports any read past it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "engine/discovery_frames.h"
#include "engine/network_text.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The escaped text holds no control character and needs no further escape:
// escaping it again may only double its backslashes.
void CheckDisplayText(std::string_view raw) {
    const std::string shown = DisplayNetworkText(raw);
    std::string doubled;
    for (char c : shown) {
        Require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        doubled += c == '\\' ? std::string_view("\\\\") : std::string_view(&c, 1);
    }
    Require(DisplayNetworkText(shown) == doubled);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> bytes(new char[size]);
    std::copy_n(reinterpret_cast<const char*>(data), size, bytes.get());
    const std::string_view text(bytes.get(), size);

    CheckDisplayText(text);
    if (const auto mac = ParseMacText(text)) {
        Require(ParseMacText(FormatMacText(*mac)) == mac);
    }
    return 0;
}
