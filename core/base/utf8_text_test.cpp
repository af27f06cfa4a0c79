#include "core/base/utf8_text.hpp"

#include <gtest/gtest.h>

namespace korvex {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(Utf8Text, WellFormedTextIsUnchanged) {
    const std::string text =
        "plain, \xC3\xA9, \xE9\x95\x9C\xE5\x83\x8F, \xF0\x9F\x92\xBE, \xF4\x8F\xBF\xBF";
    EXPECT_EQ(repairUtf8(text), text);
    EXPECT_EQ(repairUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8Text, EachMaximalIllFormedSubpartBecomesOneReplacement) {
    EXPECT_EQ(repairUtf8("\x80x"), R + "x");                   // lone continuation
    EXPECT_EQ(repairUtf8("\xFF\xFE"), R + R);                  // never valid
    EXPECT_EQ(repairUtf8("\xC0\x80"), R + R);                  // overlong NUL
    EXPECT_EQ(repairUtf8("\xE0\x80\x80"), R + R + R);          // overlong three-byte
    EXPECT_EQ(repairUtf8("\xED\xA0\x80"), R + R + R);          // surrogate
    EXPECT_EQ(repairUtf8("\xF4\x90\x80\x80"), R + R + R + R);  // above U+10FFFF
    EXPECT_EQ(repairUtf8("\xE9\x95x"), R + "x");               // cut short mid-text
    EXPECT_EQ(repairUtf8("ok\xF0\x9F\x92"), "ok" + R);         // cut short at the end
    EXPECT_EQ(repairUtf8("\xC3\xC3\xA9"), R + "\xC3\xA9");     // restarts at the bad byte
}

}  // namespace
}  // namespace korvex
