#include "core/image/chunk_pipeline.hpp"

#include "core/records/imager_error.hpp"

namespace korvex {

ChunkPipeline::ChunkPipeline(const Cancellation& cancel, std::size_t capacity, Fill fill,
                             Stage stage, std::size_t depth)
    : cancel_(cancel), fill_(std::move(fill)), stage_(std::move(stage)), lengths_(depth, 0) {
    buffers_.reserve(depth);
    for (std::size_t i = 0; i < depth; ++i) buffers_.emplace_back(capacity);
    filler_ = std::thread([this] { runFill(); });
    if (stage_) {
        try {
            stager_ = std::thread([this] { runStage(); });
        } catch (...) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                stopping_ = true;
            }
            changed_.notify_all();
            filler_.join();
            throw;
        }
    }
}

ChunkPipeline::~ChunkPipeline() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    filler_.join();
    if (stager_.joinable()) stager_.join();
}

std::span<std::uint8_t> ChunkPipeline::chunk(std::uint64_t index) {
    const std::size_t slot = index % buffers_.size();
    return {buffers_[slot].data(), lengths_[slot]};
}

void ChunkPipeline::runFill() {
    const std::size_t depth = buffers_.size();
    for (;;) {
        std::size_t slot = 0;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stopping_ || filled_ - released_ < depth; });
            if (stopping_) return;
            slot = filled_ % depth;
        }
        std::size_t length = 0;
        std::exception_ptr failure;
        try {
            if (cancel_.isCancelled()) throw ImagerError::cancelled();
            length = fill_(buffers_[slot].data(), buffers_[slot].size());
        } catch (...) {
            failure = std::current_exception();
        }
        const bool ended = failure || length == 0;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (ended) {
                fillFailure_ = failure;
                fillEnded_ = true;
            } else {
                lengths_[slot] = length;
                ++filled_;
                if (!stage_) staged_ = filled_;
            }
        }
        changed_.notify_all();
        if (ended) return;
    }
}

void ChunkPipeline::runStage() {
    for (;;) {
        std::uint64_t index = 0;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stopping_ || staged_ < filled_ || fillEnded_; });
            if (stopping_ || staged_ == filled_) return;  // stopped, or nothing more will come
            index = staged_;
        }
        std::exception_ptr failure;
        try {
            stage_(chunk(index));
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (failure) {
                stageFailure_ = failure;
            } else {
                ++staged_;
            }
        }
        changed_.notify_all();
        if (failure) return;
    }
}

std::span<std::uint8_t> ChunkPipeline::next() {
    if (cancel_.isCancelled()) throw ImagerError::cancelled();
    std::unique_lock<std::mutex> hold(lock_);
    if (released_ < taken_) {
        released_ = taken_;
        changed_.notify_all();
    }
    changed_.wait(hold, [&] {
        return taken_ < staged_ || stageFailure_ || (fillEnded_ && staged_ == filled_);
    });
    if (taken_ < staged_) return chunk(taken_++);
    if (stageFailure_) std::rethrow_exception(stageFailure_);
    if (fillFailure_) std::rethrow_exception(fillFailure_);
    return {};
}

}  // namespace korvex
