#include "core/image/chunk_pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/records/imager_error.hpp"

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

// Catches chunks lost, cut, reordered or not staged first, and a fill's or stage's failure
// reported before the chunks ahead of it, or not at all.
TEST(ChunkPipeline, DeliversChunksThenTheEndOrTheFailureInOrder) {
    const struct {
        int fillFailsAt, stageFailsAt, delivered;
        const char* error;
    } kCases[] = {{-1, -1, 20, ""}, {7, -1, 7, "fill failed"}, {-1, 5, 5, "stage failed"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.delivered);
        const Cancellation cancel;
        std::atomic<int> fills{0};
        std::vector<int> staged, seen, expected(static_cast<std::size_t>(c.delivered));
        std::iota(expected.begin(), expected.end(), 0);
        const auto stage = [&](std::span<const std::uint8_t> chunk) {
            if (chunk[0] == c.stageFailsAt) throw ImagerError("stage failed");
            staged.push_back(chunk[0]);
        };
        std::string error;
        try {
            ChunkPipeline pipeline(cancel, 4096, counting(20, c.fillFailsAt, fills), stage, 3);
            for (auto chunk = pipeline.next(); !chunk.empty(); chunk = pipeline.next()) {
                EXPECT_EQ(chunk.size(), static_cast<std::size_t>(chunk[0]) + 1);
                seen.push_back(chunk[0]);
            }
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(staged, expected);
    }
}

// Catches a fill started after cancellation, and a helper left blocked on a full ring.
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

}  // namespace
}  // namespace korvex
