#include "core/base/base64.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace korvex {
namespace {

constexpr std::size_t kLimit = 16384;

// Catches a byte value, length or the alphabet coded wrongly, and a text over the bound decoded.
TEST(Base64, CodesEveryLengthAndByteValueUpToExactlyTheBound) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (std::size_t length = 0; length <= all.size(); ++length) {
        const std::string bytes = all.substr(all.size() - length);
        EXPECT_EQ(decodeBase64(encodeBase64(bytes), kLimit), bytes) << length;
    }
    for (const auto& [bytes, text] : {std::pair{"korvex", "a29ydmV4"}, {"korvex.", "a29ydmV4Lg=="},
                                      {"korvex..", "a29ydmV4Li4="}})
        EXPECT_EQ(encodeBase64(bytes), text);
    for (std::size_t size : {kLimit - 2, kLimit - 1, kLimit, kLimit + 1, kLimit + 3, 4 * kLimit}) {
        const std::string bytes(size, 'r');
        EXPECT_EQ(decodeBase64(encodeBase64(bytes), kLimit),
                  size <= kLimit ? std::optional(bytes) : std::nullopt)
            << size;
    }
}

// Catches a second spelling of the writer's argument let through, a catalogue refused for the
// unused bits its encoder left set, and any other fault let through once those bits are ignored.
TEST(Base64, RefusesAnythingButStrictTextAndSetUnusedBitsUnlessIgnored) {
    for (const char* text : {"a29ydmV4Lg", "a29ydmV4Lg=", "a29y dmV4", "a29y\ndmV4", "a29y-mV4",
                             "a29y_mV4", "a2=ydmV4", "====", "a===", "=a29", "a29ydmV4\n"})
        for (Base64UnusedBits bits : {Base64UnusedBits::mustBeZero, Base64UnusedBits::ignored})
            EXPECT_EQ(decodeBase64(text, kLimit, bits), std::nullopt) << text;
    const std::pair<const char*, std::string> unusedBitsSet[] = {
        {"a29ydmV4Lh==", "korvex."}, {"a29ydmV5Lgx=", "korvey.\x0c"}, {"QR==", "A"}};
    for (const auto& [text, bytes] : unusedBitsSet) {
        EXPECT_EQ(decodeBase64(text, kLimit), std::nullopt) << text;
        EXPECT_EQ(decodeBase64(text, kLimit, Base64UnusedBits::ignored), bytes) << text;
    }
}

}  // namespace
}  // namespace korvex
