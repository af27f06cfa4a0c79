// AlignedBuffer: a fixed-size heap buffer whose start and length are multiples of 4,096 bytes, so
// it can be handed to a device opened with O_DIRECT whatever its sector size.
//
// Owns its memory; movable, not copyable. Throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace korvex {

class AlignedBuffer {
  public:
    static constexpr std::size_t kAlignment = 4096;

    // `size` is rounded up to a multiple of kAlignment. The contents start undefined.
    explicit AlignedBuffer(std::size_t size)
        : size_((size + kAlignment - 1) / kAlignment * kAlignment),
          memory_(static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, size_))) {
        if (memory_ == nullptr) throw std::bad_alloc();
    }

    std::uint8_t* data() const noexcept { return memory_.get(); }
    std::size_t size() const noexcept { return size_; }

  private:
    struct Free {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };

    std::size_t size_;
    std::unique_ptr<std::uint8_t, Free> memory_;
};

}  // namespace korvex
