#include "core/base/base64.hpp"

#include <array>
#include <cstdint>

namespace korvex {
namespace {

constexpr std::array<std::int8_t, 256> makeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr auto kValues = makeTable();
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string encodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 2]);
        out += kAlphabet[group >> 18 & 63];
        out += kAlphabet[group >> 12 & 63];
        out += i + 1 < bytes.size() ? kAlphabet[group >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

std::optional<std::string> decodeBase64(std::string_view text, std::size_t maxDecoded,
                                        Base64UnusedBits unusedBits) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::size_t decodedSize = text.size() / 4 * 3 - padding;
    if (decodedSize > maxDecoded) return std::nullopt;

    std::string out;
    out.reserve(decodedSize);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            std::int8_t value = kValues[static_cast<unsigned char>(c)];
            bool padded = last && j >= 4 - padding;
            if (padded ? c != '=' : value < 0) return std::nullopt;
            group = group << 6 | static_cast<std::uint32_t>(padded ? 0 : value);
        }
        // Bits below the last whole byte zero give every text one decoding only.
        if (last && padding != 0 && unusedBits == Base64UnusedBits::mustBeZero &&
            (group & (padding == 1 ? 0xFFu : 0xFFFFu)) != 0)
            return std::nullopt;
        out.push_back(static_cast<char>(group >> 16));
        if (!(last && padding == 2)) out.push_back(static_cast<char>(group >> 8 & 0xFF));
        if (!(last && padding >= 1)) out.push_back(static_cast<char>(group & 0xFF));
    }
    return out;
}

}  // namespace korvex
