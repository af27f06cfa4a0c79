// The records on the writer's channel: exact round trips, strict decoding and the request's checks.
#include <gtest/gtest.h>

#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "core/records/json_fields.hpp"
#include "core/records/records.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using json::Json;

const std::string kUUID = "0f8fad5b-d9cb-469f-a165-70867728950e";

WriteRequest validRequest() {
    return WriteRequest{1,
                        "/home/user/korvex.img",
                        {1000, 4096, std::string(64, 'a'), std::string(64, 'b')},
                        {"sdb", "USB Flash", 31910000000ULL, 42, "USB"},
                        1000,
                        "/tmp/kvi-" + kUUID + "/s",
                        "6ba7b810-9dad-11d1-80b4-00c04fd430c8"};
}

// Catches a record spanning lines, an absent message sent as null, fields that do not come back.
TEST(Records, RoundTripIsOneLineAndExact) {
    WriteRequest r = validRequest();
    r.source = "/media/a b/\u955c\u50cf \"q\"\\.img";
    const std::string text = encode(r);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find(' '), text.find("a b") + 1);  // the only space is inside the path
    EXPECT_EQ(decodeWriteRequest(text), r);
    for (const WriteEvent& e : {WriteEvent{"connected", 0, 0, kUUID}, WriteEvent{"writing", 5, 10}})
        EXPECT_EQ(decodeWriteEvent(encode(e)), e);
    EXPECT_EQ(encode(WriteEvent{"writing", 5, 10}).find("message"), std::string::npos);
    const TargetDisk big{"sdz", "", UINT64_MAX, UINT64_MAX, ""};
    EXPECT_EQ(decodeTargetDisk(encode(big)), big);
    EXPECT_EQ(decodeWriteEvent(R"({"x":[1,{"y":null}],"total":9,"message":"a\/b","completed":3,)"
                               R"("stage":"writing"})"),
              (WriteEvent{"writing", 3, 9, "a/b"}));  // any order, unknown keys, escaped solidus
}

// Catches a decoder that coerces types, rounds or wraps numbers, or takes a null for text.
TEST(Records, DecodingRefusesWhatDoesNotFitExactly) {
    for (const char* text :
         {R"({"stage":"x","completed":1})", R"({"stage":"x","completed":"1","total":1})",
          R"({"stage":"x","completed":1.5,"total":1})",
          R"({"stage":"x","completed":1.0,"total":1})",
          R"({"stage":"x","completed":1e3,"total":1})", R"({"stage":1,"completed":1,"total":1})",
          R"({"stage":"x","completed":9223372036854775808,"total":1})",
          R"({"stage":"x","completed":1,"total":1,"message":null})",
          R"({"stage":"x","completed":1,"total":1,"message":7})", R"(["stage"])",
          R"({"stage":"x",)", ""})
        EXPECT_THROW(decodeWriteEvent(text), DecodeError) << text;
    std::string renamed = encode(validRequest());
    renamed.replace(renamed.find("\"nonce\""), 7, "\"Nonce\"");
    EXPECT_THROW(decodeWriteRequest(renamed), DecodeError);
}

// A valid request with `value` at `pointer` (null: removed), decoded and validated: "" or why not.
std::string judged(const std::string& pointer, const Json& value) {
    Json j = Json::parse(encode(validRequest()));
    const Json::json_pointer at(pointer);
    if (value.is_null()) j.at(at.parent_pointer()).erase(at.back());
    if (!value.is_null()) j[at] = value;
    try {
        decodeWriteRequest(j.dump()).validate();
    } catch (const DecodeError&) {
        return "undecodable";
    } catch (const ImagerError& e) {
        return e.description();
    }
    return "";
}

// Catches a request accepted that must be refused, or the reverse, at every field's boundaries.
TEST(Records, ValidationJudgesEveryFieldAtItsBoundaries) {
    const std::string ok, bad = "undecodable", owner = "Invalid image owner/path.",
                          target = "Invalid target.", channel = "Invalid writer channel.",
                          sizes = "Invalid image inspection.";
    const std::int64_t limit = std::int64_t{1} << 37;
    const std::string x4094(4094, 'x'), socket = "/tmp/kvi-" + kUUID, nonce = "6ba7b810-9dad-11d1";
    // clang-format off
    const std::vector<std::tuple<std::string, Json, std::string>> rows = {
        {"/version", 2, owner}, {"/uid", 499, owner}, {"/uid", 500, ok}, {"/uid", 4294967295u, ok},
        {"/uid", -1, bad}, {"/uid", 4294967296, bad},
        {"/source", "/" + x4094, ok}, {"/source", "/x" + x4094, owner},
        {"/source", "/" + x4094.substr(2) + "\u00e9", ok},  // 4,095 bytes
        {"/source", "/" + x4094.substr(1) + "\u00e9", owner},  // 4,095 characters
        {"/source", "images/a.img", owner}, {"/source", "", owner},
        {"/source", std::string("/a\0b", 4), owner},
        {"/target/capacity", 0, target}, {"/target/capacity", -5, bad},
        {"/target/registryID", 0, target}, {"/target/registryID", 18446744073709551616.0, bad},
        {"/target", Json::array(), bad}, {"/nonce", nullptr, bad},
        {"/socket", "/tmp/kvi-" + std::string(36, '-') + "/s", ok},
        {"/socket", "/private" + socket + "/s", channel}, {"/socket", socket + "/s2", channel},
        {"/socket", socket + "/../s", channel}, {"/socket", socket.substr(0, 44) + "/s", channel},
        {"/socket", socket.substr(0, 44) + "g/s", channel},
        {"/nonce", "6BA7B810-9DAD-11D1-80B4-00C04FD430C8", ok}, {"/nonce", "", channel},
        {"/nonce", "6ba7b8109dad11d180b400c04fd430c8", channel},
        {"/nonce", nonce + "-80b4-00c04fd430c", channel},
        {"/nonce", nonce + "-80b4-00c04fd430cg", channel},
        {"/nonce", "{" + nonce + "-80b4-00c04fd430c8}", channel},
        {"/inspection/expanded", 512, ok}, {"/inspection/expanded", limit, ok},
        {"/inspection/expanded", 0, sizes}, {"/inspection/expanded", 513, sizes},
        {"/inspection/expanded", -512, sizes}, {"/inspection/expanded", limit + 512, sizes},
        {"/inspection/bytes", 0, sizes}, {"/inspection/bytes", limit + 1, sizes},
        {"/inspection/bytes", limit, ok}, {"/inspection/sha256", std::string(64, 'F'), ok},
        {"/inspection/sha256", std::string(63, 'a'), sizes},
        {"/inspection/sha256", std::string(63, 'a') + "g", sizes},
        {"/inspection/expandedSHA256", "", sizes}};
    // clang-format on
    for (const auto& [pointer, value, expected] : rows)
        EXPECT_EQ(judged(pointer, value), expected) << pointer << " = " << value.dump();
    for (const char* name : {"sda", "sdzzz", "SDB", "mmcblk0", "mmcblk123"})
        EXPECT_EQ(judged("/target/bsd", name), ok) << name;
    for (const char* name : {"sd", "sdaaaa", "sda1", "/dev/sdb", "mmcblk", "mmcblk1234",
                             "mmcblk0p1", "nvme0n1", "loop0", "disk4", " sdb", "sdb\n"})
        EXPECT_EQ(judged("/target/bsd", name), target) << name;
    WriteRequest wrongEverywhere;
    wrongEverywhere.version = 7;
    EXPECT_EQ(testing::failureOf([&] { wrongEverywhere.validate(); }), owner);
}

}  // namespace
}  // namespace korvex
