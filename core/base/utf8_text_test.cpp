#include "core/base/utf8_text.hpp"

#include <gtest/gtest.h>

namespace korvex {
namespace {

// Catches well-formed text altered, and an ill-formed subpart given more or fewer than one U+FFFD.
TEST(Utf8Text, KeepsWellFormedTextAndReplacesEachMaximalIllFormedSubpartOnce) {
    const std::string R = "\xEF\xBF\xBD",
                      good = "\xC3\xA9\xE9\x95\x9C\xF0\x9F\x92\xBE\xF4\x8F\xBF\xBF";
    const std::pair<std::string, std::string> kCases[] = {
        {good, good}, {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\x80x", R + "x"}, {"\xFF\xFE", R + R},  // lone continuation, never valid
        {"\xC0\x80", R + R}, {"\xE0\x80\x80", R + R + R},  // overlong
        {"\xED\xA0\x80", R + R + R}, {"\xF4\x90\x80\x80", R + R + R + R},  // surrogate, too high
        {"\xE9\x95x", R + "x"}, {"ok\xF0\x9F\x92", "ok" + R},  // cut short mid-text, at the end
        {"\xC3\xC3\xA9", R + "\xC3\xA9"}};  // restarts at the bad byte
    for (const auto& [bytes, repaired] : kCases) EXPECT_EQ(repairUtf8(bytes), repaired) << bytes;
}

}  // namespace
}  // namespace korvex
