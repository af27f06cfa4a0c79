// UniqueFd: the one owner of a file descriptor; closes it when destroyed.
//
// Movable, not copyable. Not safe for concurrent use of one object; the descriptor itself may be
// used from several threads as the system allows.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
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

// A pipe with one owner for each end. Both ends are close-on-exec, so a child started by another
// thread at the same moment cannot inherit them and keep a reader from ever seeing end of file.
struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

// Throws std::system_error when the system has no pipe to give.
inline Pipe makePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace korvex
