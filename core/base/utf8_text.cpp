#include "core/base/utf8_text.hpp"

#include <cstddef>
#include <cstdint>

namespace korvex {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct LeadRule {
    std::size_t length;  // bytes in the whole sequence; 0 for a byte that cannot start one
    std::uint8_t secondLow;
    std::uint8_t secondHigh;
};

// The well-formed sequences of the Unicode standard: the second byte's range depends on the
// lead byte (which excludes overlong forms, surrogates and values above U+10FFFF); every later
// byte is 80..BF.
LeadRule ruleFor(std::uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead >= 0xE1 && lead <= 0xEC) return {3, 0x80, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xEE && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const LeadRule rule = ruleFor(lead);
        if (rule.length == 0) {
            text.append(kReplacement);
            ++i;
            continue;
        }
        std::size_t good = 1;  // bytes of the sequence that are well-formed so far
        while (good < rule.length && i + good < bytes.size()) {
            const auto b = static_cast<std::uint8_t>(bytes[i + good]);
            const std::uint8_t low = good == 1 ? rule.secondLow : 0x80;
            const std::uint8_t high = good == 1 ? rule.secondHigh : 0xBF;
            if (b < low || b > high) break;
            ++good;
        }
        if (good == rule.length) {
            text.append(bytes.substr(i, good));
        } else {
            text.append(kReplacement);
        }
        i += good;
    }
    return text;
}

std::string firstCodePoints(std::string_view utf8, std::size_t limit) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        bool starts = (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80;
        if (starts && characters++ == limit) return std::string(utf8.substr(0, i));
    }
    return std::string(utf8);
}

}  // namespace korvex
