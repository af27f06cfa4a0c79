// The read-ahead pipeline: order, failures in their place, and no helper left behind.
#include "core/image/chunk_pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/shell_quote.hpp"
#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "tests/fixtures.hpp"

namespace korvex {
namespace {

// Fills chunk i with the byte i and a length of i + 1; fails at chunk `failAt`, ends after `count`.
ChunkPipeline::Fill counting(int count, int failAt, std::atomic<int>& fills) {
    return [count, failAt, &fills](std::uint8_t* buffer, std::size_t) -> std::size_t {
        const int i = fills++;
        if (i == failAt) throw std::runtime_error("fill failed");
        if (i >= count) return 0;
        std::fill(buffer, buffer + i + 1, static_cast<std::uint8_t>(i));
        return static_cast<std::size_t>(i + 1);
    };
}

std::vector<int> drain(ChunkPipeline& pipeline, std::string& error) {
    std::vector<int> seen;
    try {
        for (auto chunk = pipeline.next(); !chunk.empty(); chunk = pipeline.next()) {
            EXPECT_EQ(chunk.size(), static_cast<std::size_t>(chunk[0]) + 1);
            seen.push_back(chunk[0]);
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    return seen;
}

TEST(ChunkPipeline, DeliversChunksThenTheEndOrTheFailureInOrder) {
    Cancellation cancel;
    std::atomic<int> fills{0};
    std::vector<int> staged;
    ChunkPipeline clean(
        cancel, 4096, counting(20, -1, fills),
        [&](std::span<const std::uint8_t> c) { staged.push_back(c[0]); }, 3);
    std::string error;
    const std::vector<int> seen = drain(clean, error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(seen.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_EQ(staged, seen);

    std::atomic<int> more{0};
    ChunkPipeline failing(cancel, 4096, counting(20, 7, more));
    EXPECT_EQ(drain(failing, error).size(), 7u);  // every chunk before the failure
    EXPECT_EQ(error, "fill failed");

    std::atomic<int> again{0};
    ChunkPipeline stageFails(cancel, 4096, counting(20, -1, again),
                             [](std::span<const std::uint8_t> c) {
                                 if (c[0] == 5) throw ImagerError("stage failed");
                             });
    EXPECT_EQ(drain(stageFails, error).size(), 5u);
    EXPECT_EQ(error, "stage failed");
}

TEST(ChunkPipeline, StopsReadingOnCancellationAndWhenAbandoned) {
    Cancellation cancel;
    std::atomic<int> fills{0};
    {
        ChunkPipeline pipeline(cancel, 4096, counting(1000, -1, fills), nullptr, 2);
        EXPECT_FALSE(pipeline.next().empty());
        cancel.cancel();
        EXPECT_THROW(pipeline.next(), ImagerError);
    }  // the helper, blocked on a full ring, is released and joined here
    EXPECT_LE(fills.load(), 4);

    std::atomic<int> none{0};
    ChunkPipeline cancelled(cancel, 4096, counting(1000, -1, none),
                            [](std::span<const std::uint8_t>) {});
    EXPECT_THROW(cancelled.next(), ImagerError);
    EXPECT_EQ(none.load(), 0);  // checked before the first fill
}

// Catches the inspection's two sides out of step: an "inspecting" event before the last
// "checking" one, or one lost or out of order, when the expansion runs ahead of the hash (a ZIP
// behind 128 MiB of other data, which only the hash reads) or beside it (a raw image); and
// either digest taken from the other side's bytes. When both sides fail (an empty file), the
// hash's failure is the one reported, as when it came first.
TEST(ChunkPipeline, InspectHashesBesideTheExpansionWithEventsAsIfInTurn) {
    constexpr std::int64_t MiB = 1 << 20;
    const testing::TempDir dir;
    const std::string image = testing::noise(3 * MiB + 512, 3);
    testing::writeFile(dir.file("disk.img"), image);
    testing::shell("cd " + shellQuote(dir.path()) +
                   " && zip -q -0 disk.zip disk.img && truncate -s 128M prefixed.zip && "
                   "cat disk.zip >> prefixed.zip && zip -q -A prefixed.zip 2>/dev/null");
    for (const char* name : {"disk.img", "prefixed.zip"}) {
        SCOPED_TRACE(name);
        const std::string path = shellQuote(dir.file(name));
        const auto bytes = std::stoll(testing::shell("stat -c %s " + path));
        const std::string stored = testing::shell("sha256sum " + path).substr(0, 64);
        const Cancellation cancel;
        std::vector<WriteEvent> events;
        const Inspection got = ImageIO::inspect(dir.file(name), cancel, [&](const WriteEvent& e) {
            events.push_back(e);
        });
        EXPECT_EQ(got, (Inspection{bytes, 3 * MiB + 512, stored, ImageIO::digest(image)}));
        const auto expanding = std::find_if(events.begin(), events.end(), [](const WriteEvent& e) {
            return e.stage == "inspecting";
        });
        ASSERT_NE(expanding, events.begin());
        EXPECT_EQ(*(expanding - 1), (WriteEvent{"checking", bytes, bytes}));
        for (auto e = events.begin(); e + 1 < expanding; ++e) {
            EXPECT_EQ(e->stage, "checking");
            EXPECT_LT(e->completed, (e + 1)->completed);
        }
        EXPECT_EQ(std::vector<WriteEvent>(expanding, events.end()),
                  (std::vector<WriteEvent>{{"inspecting", MiB, 0},
                                           {"inspecting", 2 * MiB, 0},
                                           {"inspecting", 3 * MiB, 0},
                                           {"inspecting", 3 * MiB + 512, 0}}));
    }
    testing::writeFile(dir.file("empty.img"), "");
    EXPECT_EQ(testing::failureOf([&] { ImageIO::inspect(dir.file("empty.img"), Cancellation(), {}); }),
              "Image changed or is empty.");
}

}  // namespace
}  // namespace korvex
