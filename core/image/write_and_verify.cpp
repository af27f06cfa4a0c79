// ImageIO::writeAndVerify: re-check the image, write it in whole sectors, flush, read it back.
//
// Each pass overlaps its stages through a ChunkPipeline: while the calling thread writes (or
// hashes) one chunk, helper threads expand and hash (or read) the next ones. Events and the
// target's writes stay on the calling thread, in order.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/image/aligned_buffer.hpp"
#include "core/image/archive_stream.hpp"
#include "core/image/chunk_pipeline.hpp"
#include "core/image/image_io.hpp"
#include "core/image/sha256.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

constexpr std::size_t kChunk = static_cast<std::size_t>(ImageIO::kChunkSize);

bool supportedSectorSize(std::int64_t size) {
    return size == 512 || size == 1024 || size == 2048 || size == 4096;
}

struct Pass {
    const Inspection& inspection;
    std::int64_t blockSize;
    const Cancellation& cancel;
    const ProgressCallback& progress;

    void report(const char* stage, std::int64_t completed) const {
        if (progress) progress(WriteEvent{stage, completed, inspection.expanded, std::nullopt});
    }
};

// Expands the image once more and writes it to the target in whole sectors, the last one padded
// with zeros.
void writeImage(const SourceFile& source, int destination, const Pass& pass) {
    if (::lseek(destination, 0, SEEK_SET) != 0) throw ImagerError("Cannot seek the target.");
    if (::lseek(source.fd(), 0, SEEK_SET) != 0) throw ImagerError("Cannot seek the image.");
    (void)::posix_fadvise(source.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);

    const auto sector = static_cast<std::size_t>(pass.blockSize);
    ArchiveStream reader(source.fd());
    Sha256 hash;
    std::int64_t total = 0;  // this and `hash` belong to the helpers until the end is reported
    // Expanded bytes that do not yet fill a sector, kept at the start of an aligned buffer big
    // enough for one sector short of full plus a whole chunk.
    AlignedBuffer pending(kChunk + AlignedBuffer::kAlignment);
    std::size_t pendingLength = 0;
    std::int64_t written = 0;
    {
        // Three stages: one helper expands, the other hashes, this thread writes.
        ChunkPipeline chunks(
            pass.cancel, kChunk,
            [&](std::uint8_t* buffer, std::size_t capacity) {
                const std::size_t n = reader.read(buffer, capacity);
                if (total + static_cast<std::int64_t>(n) > ImageIO::kMaxImageSize) {
                    throw ImagerError(ImageIO::kExpandedTooLarge);
                }
                total += static_cast<std::int64_t>(n);
                return n;
            },
            [&](std::span<const std::uint8_t> chunk) { hash.update(chunk); });
        for (;;) {
            const std::span<const std::uint8_t> chunk = chunks.next();
            if (chunk.empty()) break;
            // Whole sectors go straight from the chunk's own aligned buffer when nothing is
            // pending (every chunk but the last); otherwise they are gathered in `pending`.
            std::span<const std::uint8_t> sectors;
            std::span<const std::uint8_t> rest;
            const std::size_t direct = chunk.size() / sector * sector;
            if (pendingLength == 0 && direct != 0) {
                sectors = chunk.first(direct);
                rest = chunk.subspan(direct);
            } else {
                std::memcpy(pending.data() + pendingLength, chunk.data(), chunk.size());
                pendingLength += chunk.size();
                const std::size_t usable = pendingLength / sector * sector;
                if (usable == 0) continue;
                sectors = {pending.data(), usable};
                rest = {pending.data() + usable, pendingLength - usable};
            }
            if (written + static_cast<std::int64_t>(sectors.size()) > pass.inspection.expanded) {
                throw ImagerError("Expanded image is larger than expected.");
            }
            ImageIO::writeAll(destination, sectors);
            // `rest` is shorter than a sector, so it never overlaps where it moves to.
            std::memmove(pending.data(), rest.data(), rest.size());
            pendingLength = rest.size();
            written += static_cast<std::int64_t>(sectors.size());
            pass.report("writing", written);
        }
    }
    reader.finish();
    if (total == 0 || total % ImageIO::kImageAlignment != 0) {
        throw ImagerError(ImageIO::kNotSectorAligned);
    }
    const auto digest = hash.finish();
    if (total != pass.inspection.expanded ||
        ImageIO::hex(digest) != pass.inspection.expandedSHA256) {
        throw ImagerError("Source changed during writing.");
    }
    if (pendingLength != 0) {
        std::memset(pending.data() + pendingLength, 0, sector - pendingLength);
        ImageIO::writeAll(destination, {pending.data(), sector});
    }
}

// After the flush: makes sure the read-back meets the device and not pages cached while writing.
// A descriptor opened with O_DIRECT bypasses the cache already; any other loses the target's
// cached pages (all clean after fsync).
void dropCachedPages(int destination) {
    const int flags = ::fcntl(destination, F_GETFL);
    if (flags >= 0 && (flags & O_DIRECT) != 0) return;
    struct stat status {};
    if (::fstat(destination, &status) != 0) throw ImagerError("Cannot verify the target.");
    // BLKFLSBUF needs CAP_SYS_ADMIN; without it the advice below drops the same clean pages.
    if (S_ISBLK(status.st_mode)) (void)::ioctl(destination, BLKFLSBUF, 0);
    if (::posix_fadvise(destination, 0, 0, POSIX_FADV_DONTNEED) != 0) {
        throw ImagerError("Cannot verify the target.");
    }
}

bool allZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Reads the written range back in whole sectors and hashes the image's part of it; the padding
// after the image must be zero. The helper thread reads; this thread hashes and reports.
void verifyImage(int destination, const Pass& pass) {
    if (::lseek(destination, 0, SEEK_SET) != 0) throw ImagerError("Cannot verify the target.");
    const std::int64_t expanded = pass.inspection.expanded;
    const std::int64_t sector = pass.blockSize;
    std::int64_t requested = 0;  // image bytes covered by the reads so far; the helper's own
    ChunkPipeline chunks(pass.cancel, kChunk, [&](std::uint8_t* buffer, std::size_t) {
        const std::int64_t remaining = expanded - requested;
        if (remaining <= 0) return std::size_t{0};
        const std::int64_t request =
            std::min((remaining + sector - 1) / sector * sector, ImageIO::kChunkSize);
        if (::read(destination, buffer, static_cast<std::size_t>(request)) != request) {
            throw ImagerError("USB read-back failed.");
        }
        requested += std::min(remaining, request);
        return static_cast<std::size_t>(request);
    });
    Sha256 hash;
    std::int64_t verified = 0;
    while (verified < expanded) {
        const std::span<const std::uint8_t> chunk = chunks.next();
        if (chunk.empty()) throw ImagerError("USB read-back failed.");
        const auto useful = static_cast<std::size_t>(
            std::min(expanded - verified, static_cast<std::int64_t>(chunk.size())));
        hash.update(chunk.first(useful));
        if (!allZero(chunk.subspan(useful))) throw ImagerError("USB padding verification failed.");
        verified += static_cast<std::int64_t>(useful);
        pass.report("verifying", verified);
    }
    const auto digest = hash.finish();
    if (ImageIO::hex(digest) != pass.inspection.expandedSHA256) {
        throw ImagerError("USB verification failed. Do not use this drive to install.");
    }
}

}  // namespace

void ImageIO::writeAndVerify(const SourceFile& source, int destination,
                             const Inspection& inspection, std::int64_t blockSize,
                             const Cancellation& cancel, const ProgressCallback& progress) {
    if (!supportedSectorSize(blockSize)) throw ImagerError("Unsupported device sector size.");
    const Pass pass{inspection, blockSize, cancel, progress};

    const std::string stored = hashFile(source, cancel, progress);
    if (stored != inspection.sha256 || source.size() != inspection.bytes) {
        throw ImagerError("Source image changed. Select it again.");
    }
    std::int64_t seen = 0;
    const StreamResult expanded = stream(source, cancel, [&](std::span<const std::uint8_t> chunk) {
        seen += static_cast<std::int64_t>(chunk.size());
        pass.report("inspecting", seen);
    });
    if (expanded.expanded != inspection.expanded ||
        expanded.expandedSHA256 != inspection.expandedSHA256) {
        throw ImagerError("Expanded image changed.");
    }

    writeImage(source, destination, pass);
    if (::fsync(destination) != 0) throw ImagerError("Could not flush the target device.");
    dropCachedPages(destination);
    verifyImage(destination, pass);
}

}  // namespace korvex
