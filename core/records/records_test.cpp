#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/records/cancellation.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "core/records/number_text.hpp"
#include "core/records/records.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

const std::string kDigest(64, 'a');
const std::string kUUID = "0f8fad5b-d9cb-469f-a165-70867728950e";

WriteRequest validRequest() {
    WriteRequest r;
    r.version = 1;
    r.source = "/home/user/korvex.img";
    r.inspection = {1000, 4096, kDigest, std::string(64, 'b')};
    r.target = {"sdb", "USB Flash", 31910000000ULL, 42, "USB"};
    r.uid = 1000;
    r.socket = "/tmp/kvi-" + kUUID + "/s";
    r.nonce = "6ba7b810-9dad-11d1-80b4-00c04fd430c8";
    return r;
}

// The text validate() fails with, or "" when it passes.
std::string validationError(const WriteRequest& r) {
    std::string text = testing::failureOf([&] { r.validate(); });
    return text == "(no failure)" ? "" : text;
}

TEST(Records, RoundTripIsCompactAndExact) {
    WriteRequest r = validRequest();
    r.source = "/media/a b/\u955c\u50cf \"q\"\\.img";
    std::string text = encode(r);
    EXPECT_EQ(text.find(' '), text.find("a b") + 1);  // the only space is inside the path
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(decodeWriteRequest(text), r);

    WriteEvent withMessage{"connected", 0, 0, kUUID};
    EXPECT_EQ(decodeWriteEvent(encode(withMessage)), withMessage);

    WriteEvent bare{"writing", 5, 10, std::nullopt};
    std::string bareText = encode(bare);
    EXPECT_EQ(bareText.find("message"), std::string::npos);
    EXPECT_EQ(decodeWriteEvent(bareText), bare);

    // The largest values of every unsigned field survive.
    TargetDisk big{"sdz", "", UINT64_MAX, UINT64_MAX, ""};
    EXPECT_EQ(decodeTargetDisk(encode(big)), big);
}

TEST(Records, DecodingAcceptsAnyOrderUnknownKeysAndEscapedSolidus) {
    WriteEvent e = decodeWriteEvent(
        R"({"extra":[1,{"x":null}],"total":9,"message":"a\/b","completed":3,"stage":"writing"})");
    EXPECT_EQ(e, (WriteEvent{"writing", 3, 9, "a/b"}));
}

TEST(Records, DecodingRefusesMissingKeysWrongTypesAndNumbersThatDoNotFit) {
    const char* bad[] = {
        R"({"stage":"x","completed":1})",                              // missing total
        R"({"stage":"x","completed":"1","total":1})",                  // string for integer
        R"({"stage":"x","completed":1.5,"total":1})",                  // fraction
        R"({"stage":"x","completed":1.0,"total":1})",                  // float form
        R"({"stage":"x","completed":1e3,"total":1})",                  // exponent form
        R"({"stage":"x","completed":9223372036854775808,"total":1})",  // beyond int64
        R"({"stage":1,"completed":1,"total":1})",                      // number for string
        R"({"stage":"x","completed":1,"total":1,"message":null})",     // null message
        R"({"stage":"x","completed":1,"total":1,"message":7})",
        R"(["stage"])",
        R"({"stage":"x",)",
        "",
    };
    for (const char* text : bad) EXPECT_THROW(decodeWriteEvent(text), DecodeError) << text;

    std::string good = encode(validRequest());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    EXPECT_THROW(decodeWriteRequest(replaced("\"uid\":1000", "\"uid\":-1")), DecodeError);
    EXPECT_THROW(decodeWriteRequest(replaced("\"uid\":1000", "\"uid\":4294967296")), DecodeError);
    EXPECT_EQ(decodeWriteRequest(replaced("\"uid\":1000", "\"uid\":4294967295")).uid, 4294967295u);
    EXPECT_THROW(decodeWriteRequest(replaced("\"capacity\":31910000000", "\"capacity\":-5")),
                 DecodeError);
    EXPECT_THROW(
        decodeWriteRequest(replaced("\"registryID\":42", "\"registryID\":18446744073709551616")),
        DecodeError);
    EXPECT_THROW(decodeWriteRequest(replaced("\"target\":{", "\"target\":[{")), DecodeError);
    EXPECT_THROW(decodeWriteRequest(replaced("\"nonce\"", "\"Nonce\"")), DecodeError);
}

TEST(Records, TargetIdentityAndLabel) {
    TargetDisk d{"sdb", "USB Flash", 999, 42, "USB"};
    EXPECT_EQ(d.id(), "sdb-42-999");
    EXPECT_EQ(d.label(), "USB Flash \u00B7 0.0 GB \u00B7 sdb");
    d.capacity = 31910000000ULL;
    EXPECT_EQ(d.label(), "USB Flash \u00B7 31.9 GB \u00B7 sdb");

    TargetDisk other = d;
    EXPECT_EQ(other, d);
    other.bus = "SD";
    EXPECT_NE(other, d);
}

// Catches a label that follows the process's locale: "31,9 GB" once a German desktop's locale is
// set by the windowed program.
TEST(Records, NumbersIgnoreTheLocale) {
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        if (std::getenv("CI") != nullptr) FAIL() << "CI must have de_DE.UTF-8 (scripts/setup.sh)";
        GTEST_SKIP() << "the de_DE.UTF-8 locale is missing; scripts/setup.sh makes it";
    }
    char decimalComma[16];
    std::snprintf(decimalComma, sizeof decimalComma, "%.1f", 31.9);
    const TargetDisk d{"sdb", "USB Flash", 31910000000ULL, 42, "USB"};
    const std::string label = d.label();
    const std::string fixed = fixedDecimal(-1234567.875, 2);
    std::setlocale(LC_NUMERIC, before.c_str());
    EXPECT_STREQ(decimalComma, "31,9");  // the locale is really in force
    EXPECT_EQ(label, "USB Flash \u00B7 31.9 GB \u00B7 sdb");
    EXPECT_EQ(fixed, "-1234567.88");
    EXPECT_EQ(fixedDecimal(0.05, 0), "0");
}

TEST(Records, ValidateOwnerAndPath) {
    const std::string owner = "Invalid image owner/path.";
    EXPECT_EQ(validationError(validRequest()), "");

    WriteRequest r = validRequest();
    r.version = 2;
    EXPECT_EQ(validationError(r), owner);
    r = validRequest();
    r.uid = 499;
    EXPECT_EQ(validationError(r), owner);
    r.uid = 500;
    EXPECT_EQ(validationError(r), "");

    r.source = "/" + std::string(4094, 'x');
    EXPECT_EQ(validationError(r), "");
    r.source += "x";
    EXPECT_EQ(validationError(r), owner);
    r.source = "/" + std::string(2046, 'x') + "\u00e9";  // 4095 bytes with a two-byte letter
    EXPECT_EQ(validationError(r), "");
    r.source = "images/a.img";
    EXPECT_EQ(validationError(r), owner);
    r.source = "";
    EXPECT_EQ(validationError(r), owner);
    r.source = std::string("/a\0b", 4);
    EXPECT_EQ(validationError(r), owner);

    // The owner check comes first: a request wrong everywhere reports the path.
    r = WriteRequest{};
    r.version = 7;
    EXPECT_EQ(validationError(r), owner);
}

TEST(Records, ValidateTarget) {
    for (const char* name : {"sda", "sdb", "sdzzz", "SDB", "mmcblk0", "mmcblk123"}) {
        WriteRequest r = validRequest();
        r.target.bsd = name;
        EXPECT_EQ(validationError(r), "") << name;
    }
    for (const char* name : {"sd", "sdaaaa", "sda1", "/dev/sdb", "mmcblk", "mmcblk1234",
                             "mmcblk0p1", "nvme0n1", "loop0", "disk4", " sdb", "sdb\n"}) {
        WriteRequest r = validRequest();
        r.target.bsd = name;
        EXPECT_EQ(validationError(r), "Invalid target.") << name;
    }
    WriteRequest r = validRequest();
    r.target.capacity = 0;
    EXPECT_EQ(validationError(r), "Invalid target.");
    r = validRequest();
    r.target.registryID = 0;
    EXPECT_EQ(validationError(r), "Invalid target.");
}

TEST(Records, ValidateChannel) {
    const std::string channel = "Invalid writer channel.";
    WriteRequest r = validRequest();
    r.socket = "/tmp/kvi-" + std::string(36, '-') + "/s";  // pattern, not UUID, is the rule
    EXPECT_EQ(validationError(r), "");
    r.socket = "/private/tmp/kvi-" + kUUID + "/s";
    EXPECT_EQ(validationError(r), channel);
    r.socket = "/tmp/kvi-" + kUUID.substr(1) + "/s";
    EXPECT_EQ(validationError(r), channel);
    r.socket = "/tmp/kvi-" + kUUID + "/s2";
    EXPECT_EQ(validationError(r), channel);
    r.socket = "/tmp/kvi-" + kUUID + "/../s";
    EXPECT_EQ(validationError(r), channel);
    r.socket = "/tmp/kvi-" + kUUID.substr(0, 35) + "g/s";
    EXPECT_EQ(validationError(r), channel);

    for (const char* nonce :
         {"", "6ba7b810-9dad-11d1-80b4-00c04fd430c", "6ba7b8109dad11d180b400c04fd430c8",
          "6ba7b810-9dad-11d1-80b4-00c04fd430cg", "{6ba7b810-9dad-11d1-80b4-00c04fd430c8}"}) {
        r = validRequest();
        r.nonce = nonce;
        EXPECT_EQ(validationError(r), channel) << nonce;
    }
    r = validRequest();
    r.nonce = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";
    EXPECT_EQ(validationError(r), "");
}

TEST(Records, ValidateInspection) {
    const std::string bad = "Invalid image inspection.";
    const std::int64_t limit = std::int64_t{1} << 37;
    for (std::int64_t expanded : {std::int64_t{512}, limit}) {
        WriteRequest r = validRequest();
        r.inspection.expanded = expanded;
        EXPECT_EQ(validationError(r), "") << expanded;
    }
    for (std::int64_t expanded :
         {std::int64_t{0}, std::int64_t{513}, std::int64_t{-512}, limit + 512}) {
        WriteRequest r = validRequest();
        r.inspection.expanded = expanded;
        EXPECT_EQ(validationError(r), bad) << expanded;
    }
    for (std::int64_t bytes : {std::int64_t{0}, limit + 1}) {
        WriteRequest r = validRequest();
        r.inspection.bytes = bytes;
        EXPECT_EQ(validationError(r), bad) << bytes;
    }
    WriteRequest r = validRequest();
    r.inspection.bytes = limit;
    EXPECT_EQ(validationError(r), "");
    r.inspection.sha256 = std::string(63, 'a');
    EXPECT_EQ(validationError(r), bad);
    r.inspection.sha256 = std::string(63, 'a') + "g";
    EXPECT_EQ(validationError(r), bad);
    r.inspection.sha256 = std::string(64, 'F');
    EXPECT_EQ(validationError(r), "");
    r.inspection.expandedSHA256 = "";
    EXPECT_EQ(validationError(r), bad);
}

TEST(Records, ErrorCasesAndCancellation) {
    ImagerError cancelled = ImagerError::cancelled();
    EXPECT_TRUE(cancelled.isCancelled());
    EXPECT_STREQ(cancelled.what(), "Operation cancelled.");
    ImagerError message("Operation cancelled.");
    EXPECT_FALSE(message.isCancelled());
    EXPECT_FALSE(message == cancelled);

    Cancellation flag;
    EXPECT_FALSE(flag.isCancelled());
    std::thread other([&] { flag.cancel(); });
    other.join();
    EXPECT_TRUE(flag.isCancelled());
    flag.cancel();
    EXPECT_TRUE(flag.isCancelled());
}

}  // namespace
}  // namespace korvex
