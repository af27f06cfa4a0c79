// ImageIO: the stateless operations that turn an opened image into facts the system trusts
// (stored and expanded sizes and SHA-256 hashes), and that write an image to a drive and prove it
// by reading the drive back.
//
// Every operation runs synchronously: it returns when done and calls the progress and consume
// callbacks only on the calling thread, one event per chunk of at most 1 MiB, in order, never
// before the first chunk nor at the end. Internally an operation may read or expand the next
// chunks on a helper thread while the caller's thread hashes or writes the previous one; no
// helper thread outlives a call, and memory stays bounded (a few 1 MiB buffers) whatever the size
// of the image. The Cancellation is checked before every read; once it is set no further read is
// started and the call throws ImagerError::cancelled().
//
// Failures: ImagerError (a message or the cancelled value). Texts of the archive reader are passed
// on unchanged. An exception thrown by a progress or consume callback ends the operation and is
// rethrown unchanged. No partial result is ever returned.
//
// Thread safety: no shared state; calls on different SourceFiles may run concurrently. A
// SourceFile (and a target descriptor) must not be used by anything else during a call, since the
// operations move its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/image/source_file.hpp"
#include "core/records/cancellation.hpp"
#include "core/records/records.hpp"

namespace korvex {

// Receives one progress event; may throw to end the operation.
using ProgressCallback = std::function<void(const WriteEvent&)>;
// Receives one chunk of expanded bytes (valid only during the call); may throw to end the stream.
using ConsumeCallback = std::function<void(std::span<const std::uint8_t>)>;

// Size and hash of an expanded image.
struct StreamResult {
    std::int64_t expanded = 0;   // number of expanded bytes
    std::string expandedSHA256;  // their SHA-256 as 64 lower-case hexadecimal characters
};

struct ImageIO {
    // Largest chunk read, hashed, written or verified at a time.
    static constexpr std::int64_t kChunkSize = 1 << 20;
    // Largest stored file and largest expanded image accepted (2^37 bytes, inclusive).
    static constexpr std::int64_t kMaxImageSize = kMaxImageBytes;
    // An expanded image must be a non-empty multiple of this.
    static constexpr std::int64_t kImageAlignment = kSectorBytes;
    // The failures of those two bounds, found while inspecting and again while writing.
    static constexpr char kExpandedTooLarge[] = "Expanded image exceeds the supported size.";
    static constexpr char kNotSectorAligned[] =
        "The image is empty or is not a sector-aligned disk image.";

    // A SHA-256 digest (32 bytes) as 64 lower-case hexadecimal characters. Any other length is
    // rendered the same way, two characters a byte.
    static std::string hex(std::span<const std::uint8_t> digest);

    // SHA-256 of an in-memory buffer, as hash text.
    static std::string digest(std::span<const std::uint8_t> data);
    static std::string digest(std::string_view data);

    // SHA-256 of the whole stored file, as hash text. Reads by offset from the start to the end,
    // leaving the descriptor's offset alone. Events: "checking", completed = bytes hashed so far,
    // total = source.size(). Throws "Cannot read the image file.", "Image exceeds the supported
    // size." (above 2^37 bytes: before any read when the file was that large at opening), "Image
    // changed or is empty." (nothing read, or the bytes read differ from source.size()), or the
    // cancelled error.
    static std::string hashFile(const SourceFile& source, const Cancellation& cancel,
                                const ProgressCallback& progress);

    // Expands the image through the archive reader (raw, GZip, XZ, Zstandard or a ZIP holding one
    // image), hashing every expanded byte and then handing the chunk to `consume`, in order.
    // Rewinds the descriptor first. Throws "Cannot seek the image.", the archive reader's texts
    // (among them a GZip member's failed CRC-32 or length check and "The image is a tar archive,
    // not a disk image."), "Expanded image exceeds the supported size.", "The image is empty or is
    // not a sector-aligned disk image.", the cancelled error, or whatever `consume` throws.
    static StreamResult stream(const SourceFile& source, const Cancellation& cancel,
                               const ConsumeCallback& consume);

    // Inspects a local image file: admits only the extensions img, bin, iso, zip, xz, gz and zst
    // (any letter case; else "Choose an IMG, BIN, hybrid ISO, ZIP, XZ or GZip image." before the file
    // is opened), opens it as a SourceFile owned by the current user, read-only, hashes it
    // ("checking" events, total = file size) and streams it ("inspecting" events, completed =
    // expanded bytes so far, total = 0), the two side by side; events and failures come as if
    // the hash came first. Throws the texts of SourceFile, hashFile and stream.
    static Inspection inspect(const std::string& path, const Cancellation& cancel,
                              const ProgressCallback& progress);

    // Writes all of `data` to `fd`, retrying interrupted writes. Throws "Writing failed. Check the
    // connection and free space." on any other error or a write that wrote nothing.
    static void writeAll(int fd, std::span<const std::uint8_t> data);

    // Proves the image is still the approved one, writes its expanded content to the target in
    // whole sectors, flushes the target and reads the written range back.
    //
    // `destination`: the target, open for reading and writing, owned by the caller and left open;
    // Linux opens a drive with O_DIRECT. Every request to it is whole sectors of `blockSize` from
    // a buffer aligned to 4,096 bytes; the last partial sector is padded with zeros. The read-back
    // reads the device itself: when `destination` lacks O_DIRECT, the target's cached pages are
    // dropped after the flush (BLKFLSBUF for a block device, posix_fadvise DONTNEED) first.
    // `blockSize`: the device's logical sector size: 512, 1,024, 2,048 or 4,096. The caller has
    // checked that the image, rounded up to whole sectors, fits the device.
    //
    // Events in order: "checking" (total = source.size()), "inspecting" (total =
    // inspection.expanded), "writing" (completed = bytes written in whole sectors, one event per
    // chunk that completed at least one sector), "verifying" (completed = bytes verified);
    // total = inspection.expanded for the last three. None for the padding sector.
    //
    // Throws (besides the texts of hashFile, stream and the archive reader, and the cancelled
    // error): "Unsupported device sector size.", "Source image changed. Select it again.",
    // "Expanded image changed.", "Cannot seek the target.", "Cannot seek the image.", "Expanded
    // image is larger than expected.", "Expanded image exceeds the supported size.", "The image is
    // empty or is not a sector-aligned disk image.", "Source changed during writing.", "Writing
    // failed. Check the connection and free space.", "Could not flush the target device.", "Cannot
    // verify the target.", "USB read-back failed.", "USB padding verification failed.", "USB
    // verification failed. Do not use this drive to install.". After a failure the target may
    // hold a partial image.
    static void writeAndVerify(const SourceFile& source, int destination,
                               const Inspection& inspection, std::int64_t blockSize,
                               const Cancellation& cancel, const ProgressCallback& progress);
};

}  // namespace korvex
