#include "app/model/writer_session.hpp"

#include <gtest/gtest.h>

#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

const std::string kNonce = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";

std::string line(const WriteEvent& e) {
    return encode(e) + "\n";
}
std::string connected() {
    return line({"connected", 0, 0, kNonce});
}

// Feeds `chunks` to a fresh session; returns the stages accepted and the error text, if any.
struct Outcome {
    std::vector<std::string> stages;
    std::string error;
    std::optional<std::string> failure;
    bool completed = false;
};

Outcome run(const std::vector<std::string>& chunks, std::int64_t expanded = 4096) {
    WriterSession session(kNonce, expanded);
    Outcome out;
    try {
        for (const std::string& c : chunks)
            session.feed(c, [&](const WriteEvent& e) { out.stages.push_back(e.stage); });
    } catch (const ImagerError& e) {
        out.error = e.what();
    }
    out.failure = session.failure();
    out.completed = session.completed();
    return out;
}

TEST(WriterSession, FramesLinesWhateverTheReadsLookLike) {
    std::string all = connected() + line({"writing", 512, 4096, {}}) +
                      line({"verifying", 4096, 4096, {}}) + line({"complete", 4096, 4096, {}});
    Outcome whole = run({all});
    EXPECT_EQ(whole.stages,
              (std::vector<std::string>{"connected", "writing", "verifying", "complete"}));
    EXPECT_TRUE(whole.completed);
    EXPECT_EQ(whole.error, "");

    std::vector<std::string> bytes;
    for (char c : all) bytes.emplace_back(1, c);  // every event split across many reads
    Outcome split = run(bytes);
    EXPECT_EQ(split.stages, whole.stages);
    EXPECT_TRUE(split.completed);
}

TEST(WriterSession, BufferBound) {
    EXPECT_EQ(run({connected(), std::string(16384, 'x')}).error, "");
    EXPECT_EQ(run({connected(), std::string(16384, 'x'), "x"}).error,
              "Invalid writer response size.");
    // The bound applies to what is left unconsumed, not to the whole read.
    std::string many;
    while (many.size() < 20000) many += line({"writing", 1, 2, {}});
    EXPECT_EQ(run({connected(), many.substr(0, 12000), many.substr(12000)}).error, "");
}

TEST(WriterSession, RangeRules) {
    const std::string bad = "Invalid writer progress.";
    EXPECT_EQ(run({connected(), line({"written", 0, 0, {}})}).error, bad);
    EXPECT_EQ(run({connected(), line({"writing", -1, 0, {}})}).error, bad);
    EXPECT_EQ(run({connected(), line({"writing", 0, (std::int64_t{1} << 37) + 1, {}})}).error, bad);
    EXPECT_EQ(run({connected(), line({"writing", 11, 10, {}})}).error, bad);
    EXPECT_EQ(run({connected(), line({"writing", 0, -1, {}})}).error, bad);
    EXPECT_EQ(run({connected(), line({"writing", 99, 0, {}})}).error, "");
    EXPECT_EQ(run({connected(), line({"writing", 0, std::int64_t{1} << 37, {}})}).error, "");
    // The range is checked before the handshake.
    EXPECT_EQ(run({line({"connected", -5, 0, kNonce})}).error, bad);
}

TEST(WriterSession, Handshake) {
    EXPECT_EQ(run({line({"connected", 0, 0, "6BA7B810-9DAD-11D1-80B4-00C04FD430C9"})}).error,
              "Writer session mismatch.");
    EXPECT_EQ(run({line({"connected", 0, 0, {}})}).error, "Writer session mismatch.");
    EXPECT_EQ(run({connected(), connected()}).error, "Writer session mismatch.");
    EXPECT_EQ(run({line({"writing", 0, 10, {}})}).error, "Writer handshake is missing.");
    EXPECT_EQ(run({line({"complete", 4096, 4096, {}})}).error, "Writer handshake is missing.");
    // An event accepted before the fault has reached the caller.
    Outcome o = run({connected() + line({"checking", 1, 2, {}}) + connected()});
    EXPECT_EQ(o.stages, (std::vector<std::string>{"connected", "checking"}));
    EXPECT_EQ(o.error, "Writer session mismatch.");
}

TEST(WriterSession, Outcomes) {
    // A complete whose done count runs past its total fails the range check first.
    EXPECT_EQ(run({connected(), line({"complete", 4096, 4095, {}})}).error,
              "Invalid writer progress.");
    Outcome wrongSize = run({connected(), line({"complete", 512, 512, {}})});
    EXPECT_EQ(wrongSize.error, "Incomplete writer result.");
    EXPECT_FALSE(wrongSize.completed);

    Outcome error = run({connected(), line({"error", 0, 0, "Disk full."})});
    EXPECT_EQ(error.failure, "Disk full.");
    EXPECT_EQ(run({connected(), line({"error", 0, 0, {}})}).failure, "Writing failed.");
    EXPECT_EQ(run({connected(), line({"cancelled", 0, 0, "Operation cancelled."})}).failure,
              "cancelled");

    WriterSession session(kNonce, 4096);
    session.feed(connected(), [](const WriteEvent&) {});
    session.feed(line({"error", 0, 0, "first"}), [](const WriteEvent&) {});
    session.connectionFailed();
    EXPECT_EQ(session.failure(), "Writer connection failed.");
}

TEST(WriterSession, UndecodableLineIsTheDecodersError) {
    WriterSession session(kNonce, 4096);
    EXPECT_THROW(session.feed("{\"stage\":\n", [](const WriteEvent&) {}), DecodeError);
}

}  // namespace
}  // namespace korvex
