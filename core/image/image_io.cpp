#include "core/image/image_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "core/base/ascii_text.hpp"
#include "core/image/archive_stream.hpp"
#include "core/image/chunk_pipeline.hpp"
#include "core/image/sha256.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

constexpr std::size_t kChunk = static_cast<std::size_t>(ImageIO::kChunkSize);

void rewindImage(int fd) {
    if (::lseek(fd, 0, SEEK_SET) != 0) throw ImagerError("Cannot seek the image.");
    // Doubles the kernel's read-ahead for the one sequential pass that follows; purely a hint.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::string hashText(Sha256& hash) {
    const auto digest = hash.finish();
    return ImageIO::hex(digest);
}

bool admittedExtension(const std::string& path) {
    std::string extension = lowerAscii(std::filesystem::path(path).extension().string());
    if (!extension.empty()) extension.erase(0, 1);
    static constexpr std::string_view kAdmitted[] = {"img", "bin", "iso", "zip", "xz", "gz", "zst"};
    return std::find(std::begin(kAdmitted), std::end(kAdmitted), extension) != std::end(kAdmitted);
}

}  // namespace

std::string ImageIO::hex(std::span<const std::uint8_t> digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::string ImageIO::digest(std::span<const std::uint8_t> data) {
    Sha256 hash;
    hash.update(data);
    return hashText(hash);
}

std::string ImageIO::digest(std::string_view data) {
    return digest(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

void ImageIO::writeAll(int fd, std::span<const std::uint8_t> data) {
    std::size_t offset = 0;
    while (offset < data.size()) {
        const ssize_t n = ::write(fd, data.data() + offset, data.size() - offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw ImagerError("Writing failed. Check the connection and free space.");
        offset += static_cast<std::size_t>(n);
    }
}

std::string ImageIO::hashFile(const SourceFile& source, const Cancellation& cancel,
                              const ProgressCallback& progress) {
    // The size is known before the first read: a file past the limit is refused at once rather
    // than after hashing all of it.
    if (source.size() > kMaxImageSize) throw ImagerError("Image exceeds the supported size.");
    // Read by offset, so that inspect can expand the file through the descriptor meanwhile.
    const int fd = source.fd();
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Sha256 hash;
    std::int64_t total = 0;
    off_t offset = 0;
    ChunkPipeline chunks(cancel, kChunk, [fd, &offset](std::uint8_t* buffer, std::size_t capacity) {
        ssize_t n = 0;
        do {
            n = ::pread(fd, buffer, capacity, offset);
        } while (n < 0 && errno == EINTR);
        if (n < 0) throw ImagerError("Cannot read the image file.");
        offset += n;
        return static_cast<std::size_t>(n);
    });
    for (;;) {
        const std::span<const std::uint8_t> chunk = chunks.next();
        if (chunk.empty()) break;
        const auto n = static_cast<std::int64_t>(chunk.size());
        if (total + n > kMaxImageSize) throw ImagerError("Image exceeds the supported size.");
        total += n;
        hash.update(chunk);
        if (progress) progress(WriteEvent{"checking", total, source.size(), std::nullopt});
    }
    if (total == 0 || total != source.size()) throw ImagerError("Image changed or is empty.");
    return hashText(hash);
}

StreamResult ImageIO::stream(const SourceFile& source, const Cancellation& cancel,
                             const ConsumeCallback& consume) {
    // Opening the reader already reads the archive's first header.
    if (cancel.isCancelled()) throw ImagerError::cancelled();
    rewindImage(source.fd());
    ArchiveStream reader(source.fd());
    Sha256 hash;
    std::int64_t total = 0;
    {
        ChunkPipeline chunks(cancel, kChunk, [&reader](std::uint8_t* buffer, std::size_t capacity) {
            return reader.read(buffer, capacity);
        });
        for (;;) {
            const std::span<const std::uint8_t> chunk = chunks.next();
            if (chunk.empty()) break;
            const auto n = static_cast<std::int64_t>(chunk.size());
            if (total + n > kMaxImageSize) {
                throw ImagerError(ImageIO::kExpandedTooLarge);
            }
            total += n;
            hash.update(chunk);
            if (consume) consume(chunk);
        }
    }
    reader.finish();
    if (total == 0 || total % kImageAlignment != 0) {
        throw ImagerError(ImageIO::kNotSectorAligned);
    }
    return StreamResult{total, hashText(hash)};
}

Inspection ImageIO::inspect(const std::string& path, const Cancellation& cancel,
                            const ProgressCallback& progress) {
    if (!admittedExtension(path)) {
        throw ImagerError("Choose an IMG, BIN, hybrid ISO, ZIP, XZ or GZip image.");
    }
    const SourceFile source(path, ::getuid(), false);
    Inspection result;
    result.bytes = source.size();

    // The stored file is hashed on a thread of its own (reading by offset, through a pipeline of
    // its own) while this thread expands it, so that the pass costs about as much as the slower
    // of the two rather than their sum. Events and failures come as if one followed the other:
    // every "checking" event before any "inspecting" one (those met meanwhile wait, in order, for
    // the hash to end), and a failure of the hash before the expansion's.
    std::atomic<std::int64_t> hashed{0};
    std::atomic<bool> hashEnded{false};
    std::exception_ptr hashFailure;
    auto hashStored = [&] {
        try {
            result.sha256 = hashFile(source, cancel, [&](const WriteEvent& event) {
                hashed.store(event.completed, std::memory_order_relaxed);
            });
        } catch (...) {
            hashFailure = std::current_exception();
        }
        hashEnded.store(true, std::memory_order_release);
    };
    std::thread hasher;
    try {
        hasher = std::thread(hashStored);
    } catch (const std::system_error&) {
        hashStored();  // no thread to spare: one after the other
    }
    std::int64_t reportedHashed = 0;
    bool checked = false;  // the last "checking" event is out
    std::vector<std::int64_t> waiting;
    // Hands out the events due: "checking" while the hash runs, then the ones held back.
    auto report = [&](bool ending) {
        if (checked || !progress) return;
        const bool ended = ending || hashEnded.load(std::memory_order_acquire);
        if (ended && hashFailure) return;
        const std::int64_t now = ended ? result.bytes : hashed.load(std::memory_order_relaxed);
        if (now != reportedHashed) {
            reportedHashed = now;
            progress(WriteEvent{"checking", now, result.bytes, std::nullopt});
        }
        if (!ended) return;
        checked = true;
        for (const std::int64_t expanded : waiting) {
            progress(WriteEvent{"inspecting", expanded, 0, std::nullopt});
        }
        waiting.clear();
    };
    // The expansion stops as soon as the hash has failed: its failure is the one to report.
    struct HashFailed {};
    std::exception_ptr streamFailure;
    try {
        std::int64_t expanded = 0;
        const StreamResult streamed =
            stream(source, cancel, [&](std::span<const std::uint8_t> chunk) {
                if (hashEnded.load(std::memory_order_acquire) && hashFailure) throw HashFailed{};
                expanded += static_cast<std::int64_t>(chunk.size());
                report(false);
                if (!progress) return;
                if (checked) {
                    progress(WriteEvent{"inspecting", expanded, 0, std::nullopt});
                } else {
                    waiting.push_back(expanded);
                }
            });
        result.expanded = streamed.expanded;
        result.expandedSHA256 = streamed.expandedSHA256;
    } catch (...) {
        streamFailure = std::current_exception();
    }
    if (hasher.joinable()) hasher.join();
    if (hashFailure) std::rethrow_exception(hashFailure);
    try {
        report(true);
    } catch (...) {
        if (!streamFailure) throw;
    }
    if (streamFailure) std::rethrow_exception(streamFailure);
    return result;
}

}  // namespace korvex
