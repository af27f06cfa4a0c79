// Base64 of the writer's argument and the catalogue: the encoder's output, and a decoder that
// takes only strict text within its bound, canonical unless unused bits are to be ignored.
#include "core/base/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace korvex {
namespace {

TEST(Base64, DecodesEveryLengthAndByteValue) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (std::size_t length = 0; length <= all.size(); ++length) {
        std::string bytes = all.substr(all.size() - length);
        EXPECT_EQ(decodeBase64(encodeBase64(bytes), 16384), bytes) << length;
    }
    EXPECT_EQ(encodeBase64("korvex"), "a29ydmV4");
    EXPECT_EQ(encodeBase64("korvex."), "a29ydmV4Lg==");
    EXPECT_EQ(encodeBase64("korvex.."), "a29ydmV4Li4=");
    EXPECT_EQ(decodeBase64("a29ydmV4Lg==", 16384), "korvex.");
}

// Catches a second spelling of the writer's argument let through, a catalogue refused for the
// unused bits its encoder left set, and any other fault let through once those bits are ignored.
TEST(Base64, RefusesAnythingButStrictTextAndSetUnusedBitsUnlessIgnored) {
    for (const char* text : {"a29ydmV4Lg", "a29ydmV4Lg=", "a29y dmV4", "a29y\ndmV4", "a29y-mV4",
                             "a29y_mV4", "a2=ydmV4", "====", "a===", "=a29", "a29ydmV4\n"})
        for (Base64UnusedBits bits : {Base64UnusedBits::mustBeZero, Base64UnusedBits::ignored})
            EXPECT_EQ(decodeBase64(text, 16384, bits), std::nullopt) << text;
    const std::pair<const char*, std::string> unusedBitsSet[] = {
        {"a29ydmV4Lh==", "korvex."}, {"a29ydmV5Lgx=", "korvey.\x0c"}, {"QR==", "A"}};
    for (const auto& [text, bytes] : unusedBitsSet) {
        EXPECT_EQ(decodeBase64(text, 16384), std::nullopt) << text;
        EXPECT_EQ(decodeBase64(text, 16384, Base64UnusedBits::ignored), bytes) << text;
    }
}

TEST(Base64, AcceptsExactlyTheBound) {
    const std::size_t limit = 16384;
    for (std::size_t size : {limit - 2, limit - 1, limit}) {
        std::string bytes(size, 'r');
        ASSERT_EQ(decodeBase64(encodeBase64(bytes), limit), bytes) << size;
    }
    for (std::size_t size : {limit + 1, limit + 2, limit + 3, 4 * limit})
        EXPECT_EQ(decodeBase64(encodeBase64(std::string(size, 'r')), limit), std::nullopt) << size;
}

}  // namespace
}  // namespace korvex
