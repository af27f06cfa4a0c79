#include "core/records/number_text.hpp"

#include <algorithm>
#include <charconv>

namespace korvex {

std::string fixedDecimal(double value, int decimals) {
    // Room for the 309 integer digits of the largest double, a sign, a point and the decimals.
    char text[340];
    const int precision = std::clamp(decimals, 0, 9);
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, precision);
    return std::string(text, result.ptr);
}

}  // namespace korvex
