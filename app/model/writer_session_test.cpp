#include "app/model/writer_session.hpp"

#include <gtest/gtest.h>

#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

const std::string kNonce = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";

std::string line(const std::string& stage, std::int64_t done, std::int64_t total,
                 std::optional<std::string> message = {}) {
    return encode(WriteEvent{stage, done, total, std::move(message)}) + "\n";
}
const std::string kHello = line("connected", 0, 0, kNonce);

// The stages a session expecting 4096 bytes passes on for `chunks`, then the ImagerError thrown,
// "completed", or the session's failure.
std::string run(const std::vector<std::string>& chunks) {
    WriterSession session(kNonce, 4096);
    std::string out;
    try {
        for (const std::string& c : chunks)
            session.feed(c, [&](const WriteEvent& e) { out += e.stage + " "; });
    } catch (const ImagerError& e) {
        return out + "error: " + e.what();
    }
    return out + (session.completed() ? "completed" : session.failure().value_or("(none)"));
}

// Catches lines lost across reads, a wrong bound or range, a bad handshake or completion accepted.
TEST(WriterSession, AcceptsOnlyAWellFormedConversation) {
    const std::string all = kHello + line("writing", 512, 4096) + line("verifying", 4096, 4096) +
                            line("complete", 4096, 4096);
    std::vector<std::string> bytes;
    for (char c : all) bytes.emplace_back(1, c);
    const std::string big = std::string(16384, 'x'),
                      bad = "connected error: Invalid writer progress.";
    const std::int64_t most = std::int64_t{1} << 37;
    const struct {
        std::vector<std::string> chunks;
        std::string outcome;
    } cases[] = {
        {{all}, "connected writing verifying complete completed"},
        {bytes, "connected writing verifying complete completed"},
        {{kHello, big}, "connected (none)"},
        {{kHello, big, "x"}, "connected error: Invalid writer response size."},
        {{kHello + line("writing", 1, 2, std::string(12000, 'm')), big},
         "connected writing (none)"},
        {{kHello, line("written", 0, 0)}, bad},
        {{kHello, line("writing", -1, 0)}, bad},
        {{kHello, line("writing", 0, most + 1)}, bad},
        {{kHello, line("writing", 11, 10)}, bad},
        {{kHello, line("writing", 0, -1)}, bad},
        {{kHello, line("complete", 4096, 4095)}, bad},
        {{kHello, line("writing", 99, 0)}, "connected writing (none)"},
        {{kHello, line("writing", 0, most)}, "connected writing (none)"},
        {{line("connected", -5, 0, kNonce)}, "error: Invalid writer progress."},
        {{line("connected", 0, 0, "6BA7B810-9DAD-11D1-80B4-00C04FD430C9")},
         "error: Writer session mismatch."},
        {{line("connected", 0, 0)}, "error: Writer session mismatch."},
        {{kHello + line("checking", 1, 2) + kHello},
         "connected checking error: Writer session mismatch."},
        {{line("writing", 0, 10)}, "error: Writer handshake is missing."},
        {{line("complete", 4096, 4096)}, "error: Writer handshake is missing."},
        {{kHello, line("complete", 512, 512)}, "connected error: Incomplete writer result."},
        {{kHello, line("error", 0, 0, "Disk full.")}, "connected error Disk full."},
        {{kHello, line("error", 0, 0)}, "connected error Writing failed."},
        {{kHello, line("cancelled", 0, 0, "Operation cancelled.")},
         "connected cancelled cancelled"},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.chunks), c.outcome) << c.chunks.front();

    // A lost connection outranks what the writer said; an undecodable line is the decoder's error.
    WriterSession session(kNonce, 4096);
    session.feed(kHello + line("error", 0, 0, "first"), [](const WriteEvent&) {});
    session.connectionFailed();
    EXPECT_EQ(session.failure(), "Writer connection failed.");
    EXPECT_THROW(session.feed("{\"stage\":\n", [](const WriteEvent&) {}), DecodeError);
}

}  // namespace
}  // namespace korvex
