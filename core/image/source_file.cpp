#include "core/image/source_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

bool clearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

SourceFile::SourceFile(const std::string& path, std::optional<std::uint32_t> owner, bool writable) {
    // O_NONBLOCK and O_NOCTTY only keep the open itself from waiting on a FIFO's writer or from
    // adopting a terminal; such files are then refused by the type test, and a regular file gets
    // its blocking mode back before anyone reads it.
    const int flags =
        (writable ? (O_RDWR | O_CREAT) : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    fd_ = ::open(path.c_str(), flags, S_IRUSR | S_IWUSR);
    if (fd_ < 0) throw ImagerError("Cannot open the image file.");

    struct stat status {};
    const bool acceptable = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode) &&
                            (!owner || status.st_uid == *owner) && status.st_nlink == 1 &&
                            ::flock(fd_, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 &&
                            clearNonBlocking(fd_);
    if (!acceptable) {
        close();
        throw ImagerError("The image must be an unlocked regular file owned by this user.");
    }
    size_ = static_cast<std::int64_t>(status.st_size);
}

SourceFile::~SourceFile() {
    close();
}

SourceFile::SourceFile(SourceFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

SourceFile& SourceFile::operator=(SourceFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
    }
    return *this;
}

void SourceFile::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace korvex
