#include "core/image/image_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <optional>

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
    std::string extension = std::filesystem::path(path).extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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
    const int fd = source.fd();
    rewindImage(fd);
    Sha256 hash;
    std::int64_t total = 0;
    ChunkPipeline chunks(cancel, kChunk, [fd](std::uint8_t* buffer, std::size_t capacity) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n < 0) throw ImagerError("Cannot read the image file.");
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
    result.sha256 = hashFile(source, cancel, progress);
    std::int64_t expanded = 0;
    const StreamResult streamed = stream(source, cancel, [&](std::span<const std::uint8_t> chunk) {
        expanded += static_cast<std::int64_t>(chunk.size());
        if (progress) progress(WriteEvent{"inspecting", expanded, 0, std::nullopt});
    });
    result.expanded = streamed.expanded;
    result.expandedSHA256 = streamed.expandedSHA256;
    return result;
}

}  // namespace korvex
