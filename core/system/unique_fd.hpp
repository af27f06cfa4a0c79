// UniqueFd: the one owner of a file descriptor; closes it when destroyed.
//
// Movable, not copyable. Not safe for concurrent use of one object; the descriptor itself may be
// used from several threads as the system allows.
#pragma once

#include <unistd.h>

#include <utility>

namespace korvex {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes now; returns close()'s result (0 when there was nothing to close).
    int reset() noexcept {
        int result = 0;
        if (fd_ >= 0) result = ::close(std::exchange(fd_, -1));
        return result;
    }

  private:
    int fd_ = -1;
};

}  // namespace korvex
