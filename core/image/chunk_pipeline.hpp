// ChunkPipeline: reads ahead. A helper thread fills a small ring of 4,096-aligned buffers with
// successive chunks while the calling thread works on the previous ones; an optional second
// helper runs a stage (such as hashing) over every chunk between the two. A pass then costs about
// as much as its slowest stage rather than the sum of its stages.
//
// The fill function runs on the first helper, one call at a time, in order; it returns the number
// of bytes it put into the buffer (0 ends the stream) or throws to end it with an error. The stage
// runs on the second helper over every filled chunk, in order, before the consumer sees it; it
// may throw to end the stream there. Before every fill the Cancellation is checked; once it is set
// no further fill starts. The consumer sees chunks, the end, an error or the cancellation in
// exactly the order the helpers met them, except that a cancellation seen by next() itself takes
// effect at once.
//
// Memory: `depth` buffers of `capacity` bytes, allocated once. The destructor stops the helpers
// and waits for them, so nothing outlives the pipeline; destroy the pipeline before anything its
// functions use. next() is called from one thread only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "core/image/aligned_buffer.hpp"
#include "core/records/cancellation.hpp"

namespace korvex {

class ChunkPipeline {
  public:
    using Fill = std::function<std::size_t(std::uint8_t* buffer, std::size_t capacity)>;
    using Stage = std::function<void(std::span<const std::uint8_t> chunk)>;

    static constexpr std::size_t kDefaultDepth = 4;

    ChunkPipeline(const Cancellation& cancel, std::size_t capacity, Fill fill,
                  Stage stage = nullptr, std::size_t depth = kDefaultDepth);
    ~ChunkPipeline();
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    // The next chunk, valid until the next call of next() or the pipeline's end; an empty span
    // at the end of the stream. Throws the fill function's or the stage's exception, or
    // ImagerError::cancelled().
    std::span<std::uint8_t> next();

  private:
    void runFill();
    void runStage();
    std::span<std::uint8_t> chunk(std::uint64_t index);

    const Cancellation& cancel_;
    Fill fill_;
    Stage stage_;
    std::vector<AlignedBuffer> buffers_;
    std::vector<std::size_t> lengths_;

    std::mutex lock_;
    std::condition_variable changed_;
    // Chunk counts, each at most the one before: filled >= staged >= taken >= released.
    std::uint64_t filled_ = 0;
    std::uint64_t staged_ = 0;
    std::uint64_t taken_ = 0;
    std::uint64_t released_ = 0;  // buffers that may be filled again
    bool fillEnded_ = false;      // the fill met the end, an error or the cancellation
    bool stopping_ = false;       // the destructor asks the helpers to quit
    std::exception_ptr fillFailure_;
    std::exception_ptr stageFailure_;

    // Last: they start once everything above exists.
    std::thread filler_;
    std::thread stager_;
};

}  // namespace korvex
