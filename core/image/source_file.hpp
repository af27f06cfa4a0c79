// SourceFile: an opened image file, checked before a single byte of it is read.
//
// The constructor opens the path without following a final symbolic link and then demands a
// regular file, owned by the given user (when one is given), with exactly one link, on which a
// non-blocking advisory lock can be taken: shared when opened read-only, exclusive when writable.
// The lock lasts as long as the descriptor, that is until the SourceFile is destroyed or closed.
// `size()` is the file's byte size at opening and is never refreshed; readers compare what they
// read against it to notice a file that changed underneath them.
//
// Owns its descriptor: not copyable; movable (a moved-from SourceFile is closed). Not safe for
// concurrent use: the image operations move the descriptor's offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/base/unique_fd.hpp"

namespace korvex {

class SourceFile {
  public:
    // Opens `path`. Read-only: O_RDONLY | O_NOFOLLOW | O_CLOEXEC and a shared lock.
    // Writable: O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode 0600 when created, and an exclusive
    // lock. Throws ImagerError "Cannot open the image file." when the open itself fails (a symbolic
    // link as the last component included), and "The image must be an unlocked regular file owned
    // by this user." when any check fails; nothing stays open after a throw.
    SourceFile(const std::string& path, std::optional<std::uint32_t> owner, bool writable);

    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;
    SourceFile(SourceFile&& other) noexcept = default;
    SourceFile& operator=(SourceFile&& other) noexcept = default;

    // The descriptor; negative once closed or moved from. Stays owned by this object.
    int fd() const noexcept { return fd_.get(); }
    // Byte size of the file when it was opened.
    std::int64_t size() const noexcept { return size_; }

    // Closes the descriptor (and so releases the lock) now. Idempotent.
    void close() noexcept { fd_.reset(); }

  private:
    UniqueFd fd_;
    std::int64_t size_ = 0;
};

}  // namespace korvex
