#include "core/image/source_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
    fd_ = UniqueFd(::open(path.c_str(), flags, S_IRUSR | S_IWUSR));
    if (!fd_) throw ImagerError("Cannot open the image file.");

    struct stat status {};
    const bool acceptable = ::fstat(fd(), &status) == 0 && S_ISREG(status.st_mode) &&
                            (!owner || status.st_uid == *owner) && status.st_nlink == 1 &&
                            ::flock(fd(), (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 &&
                            clearNonBlocking(fd());
    // The UniqueFd member closes the descriptor as the throw unwinds the constructor.
    if (!acceptable)
        throw ImagerError("The image must be an unlocked regular file owned by this user.");
    size_ = static_cast<std::int64_t>(status.st_size);
}

}  // namespace korvex
