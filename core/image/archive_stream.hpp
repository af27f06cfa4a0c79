// ArchiveStream: the flat archive reader's handle owned for the length of one pass, with its
// failures turned into ImagerError messages carrying the reader's text (as UTF-8, any invalid
// sequence replaced by U+FFFD).
//
// Closes the handle on every path; not copyable; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/native/archive.h"

namespace korvex {

class ArchiveStream {
  public:
    // Opens the reader on `fd` from its current offset; throws ImagerError with the reader's text.
    explicit ArchiveStream(int fd);
    ~ArchiveStream();
    ArchiveStream(const ArchiveStream&) = delete;
    ArchiveStream& operator=(const ArchiveStream&) = delete;

    // Up to `capacity` expanded bytes; 0 at the end of the payload. Throws ImagerError.
    std::size_t read(std::uint8_t* buffer, std::size_t capacity);
    // After read() returned 0: throws ImagerError unless the archive ended cleanly.
    void finish();

  private:
    kvi_archive* handle_ = nullptr;
};

}  // namespace korvex
