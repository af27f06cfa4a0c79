// ArchiveImageReader: one image, raw or packed (GZip, XZ, Zstandard, or a ZIP holding one regular
// file), read through libarchive as a single stream of expanded bytes.
//
// Only the uncompressed, GZip, XZ and Zstandard filters and the raw and ZIP formats are enabled, all with
// libarchive's built-in codecs (a codec that would run an external program is refused), so ISO
// 9660 or tar structure is never interpreted and no child process is ever started. A GZip file is
// decoded by GzipSource rather than by libarchive, so that every member's CRC-32 and length are
// checked; a GZip stream nested inside another compressed stream (which only libarchive's
// unchecked filter could reach) is refused. An XZ file of several blocks is decoded by XzSource,
// two blocks at a time, rather than by libarchive's single-threaded filter; the bytes and texts
// are the same. An expanded stream that opens with a tar header is
// refused too: a tar archive is never a disk image, and writing one would shift the image it
// holds by a block.
//
// Failures are reported as text in the `error` out-parameter: libarchive's own message when it has
// one, a fixed message otherwise. Nothing here throws except std::bad_alloc. Owns its libarchive
// handle; not copyable; one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/base/unique_fd.hpp"

struct archive;

namespace korvex::imager {

class GzipSource;
class XzSource;

// The reader's own failure texts, where libarchive has no words of its own.
inline constexpr char kReaderNotAllocated[] = "Could not allocate the image reader.";
inline constexpr char kReaderNotReady[] = "The image archive reader is not ready.";
inline constexpr char kCannotExtract[] = "Could not extract the image archive.";
inline constexpr char kCannotFinish[] = "Could not finish reading the image archive.";

// True when `block` (512 bytes) is a tar header: the ustar or GNU magic and a matching checksum.
bool IsTarHeader(const std::uint8_t* block);

class ArchiveImageReader {
  public:
    ArchiveImageReader();
    ~ArchiveImageReader();
    ArchiveImageReader(const ArchiveImageReader&) = delete;
    ArchiveImageReader& operator=(const ArchiveImageReader&) = delete;

    // Opens the file at `path` and moves to the payload entry. When `expectedSize` is given and the
    // entry records a size, the two must match. Frees any handle held before. On failure no handle
    // is kept.
    bool Open(const std::wstring& path, std::optional<std::uint64_t> expectedSize,
              std::string& error);

    // The same on an open descriptor, read from its current offset; the descriptor stays the
    // caller's.
    bool OpenDescriptor(int fd, std::optional<std::uint64_t> expectedSize, std::string& error);

    // Up to `size` expanded bytes: > 0 data, 0 at the end of the payload, -1 on failure.
    ssize_t Read(void* buffer, std::size_t size, std::string& error);

    // Once Read has returned 0: succeeds when no second regular file follows the payload.
    bool Finish(std::string& error);

  private:
    using Start = int (*)(ArchiveImageReader& self, struct archive*, const void* source);
    bool open(Start start, const void* source, const char* allocationFailure,
              const char* openFailure, bool restartable, std::optional<std::uint64_t> expectedSize,
              std::string& error);
    bool openEmpty(Start start, const void* source);
    // Reads the payload's first block into head_ and refuses a stream that is not an image.
    bool checkHead(std::string& error);
    void release() noexcept;

    struct archive* handle_ = nullptr;
    // Set when the stored file is a GZip file; feeds handle_, so it is freed after it.
    std::unique_ptr<GzipSource> gzip_;
    // Set when the stored file is an XZ file of several blocks; likewise.
    std::unique_ptr<XzSource> xz_;
    // libarchive's raw format refuses an empty stream; such a payload is read as nothing here.
    bool empty_ = false;
    // The payload's first bytes, read at opening and handed out by the first Read.
    static constexpr std::size_t kHeadSize = 512;
    std::uint8_t head_[kHeadSize] = {};
    std::size_t headLength_ = 0;
    std::size_t headOffset_ = 0;
    // The file that Open opened by path.
    korvex::UniqueFd ownedFd_;
};

}  // namespace korvex::imager
