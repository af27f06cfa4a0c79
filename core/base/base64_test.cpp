// Base64 of the writer's argument: the encoder's output, and a decoder that takes only strict,
// canonical text within its bound.
#include "core/base/base64.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvex {
namespace {

TEST(Base64Test, DecodesEveryLengthAndByteValue) {
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

TEST(Base64Test, RefusesAnythingButStrictCanonicalText) {
    for (const char* text :
         {"a29ydmV4Lg", "a29ydmV4Lg=", "a29y dmV4", "a29y\ndmV4", "a29y-mV4", "a29y_mV4",
          "a2=ydmV4", "====", "a===", "a29ydmV4Lh==", "a29ydmV5Lgx=", "=a29", "a29ydmV4\n"})
        EXPECT_EQ(decodeBase64(text, 16384), std::nullopt) << text;
}

TEST(Base64Test, AcceptsExactlyTheBound) {
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
