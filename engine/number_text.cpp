#include "engine/number_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

std::string FormatFixed(double value, int decimals) {
    // Room for any double in fixed notation: 309 integer digits, the sign,
    // the point and the decimals asked for (kept to a sane number).
    constexpr int kMaxDecimals = 17;
    std::array<char, 330> buffer{};
    const std::to_chars_result result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed,
                      std::clamp(decimals, 0, kMaxDecimals));
    if (result.ec != std::errc()) return std::isnan(value) ? "nan" : "inf";
    return std::string(buffer.data(), result.ptr);
}
