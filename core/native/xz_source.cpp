#include "core/native/xz_source.hpp"

#include <archive.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace korvex::imager {
namespace {

// As large as libarchive's own blocks of the stored file; the expanded bytes go out in blocks
// that stay in the processor's cache until libarchive copies them out.
constexpr std::size_t kInputSize = 1 << 20;
constexpr std::size_t kOutputSize = 1 << 18;
// Enough of the file's end to skip stream padding and find the last stream's footer.
constexpr std::size_t kTailSize = 4096;
// The largest index read to choose the decoder: some eight bytes a block, so 1 MiB blocks of an
// image of the largest size. A larger one is left to libarchive.
constexpr std::uint64_t kIndexLimit = 1 << 20;

// libarchive's words for the status its own XZ filter met, so a failure reads the same whichever
// decoder expanded the file.
const char* describe(lzma_ret status) {
    switch (status) {
        case LZMA_MEM_ERROR:
            return "Lzma library error: Cannot allocate memory";
        case LZMA_MEMLIMIT_ERROR:
            return "Lzma library error: Out of memory";
        case LZMA_FORMAT_ERROR:
            return "Lzma library error: format not recognized";
        case LZMA_OPTIONS_ERROR:
            return "Lzma library error: Invalid options";
        case LZMA_DATA_ERROR:
            return "Lzma library error: Corrupted input data";
        case LZMA_BUF_ERROR:
            return "Lzma library error:  No progress is possible";
        default:
            return "Lzma decompression failed:  Unknown error";
    }
}

// The decoder's blocks, a few MiB each, are mapped and unmapped on their own. Through malloc they
// would raise its mapping threshold once freed, and the next ones would stay in its arenas after
// use: the blocks of the writer's second expansion would come on top of the first's.
constexpr std::size_t kMappedFrom = 1 << 20;
constexpr std::size_t kHeader = 64;  // keeps the caller's memory aligned as malloc's is

void* allocate(void*, std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    const std::size_t bytes = count * size;
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    void* start = nullptr;
    if (bytes < kMappedFrom) {
        start = std::malloc(bytes + kHeader);
        if (start == nullptr) return nullptr;
    } else {
        start = ::mmap(nullptr, bytes + kHeader, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (start == MAP_FAILED) return nullptr;
    }
    std::memcpy(start, &bytes, sizeof bytes);
    return static_cast<std::uint8_t*>(start) + kHeader;
}

void release(void*, void* pointer) {
    if (pointer == nullptr) return;
    void* start = static_cast<std::uint8_t*>(pointer) - kHeader;
    std::size_t bytes = 0;
    std::memcpy(&bytes, start, sizeof bytes);
    if (bytes < kMappedFrom) {
        std::free(start);
    } else {
        ::munmap(start, bytes + kHeader);
    }
}

const lzma_allocator kAllocator = {allocate, release, nullptr};

// The whole of `size` bytes at `offset`, or false.
bool readAt(int fd, std::uint8_t* buffer, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

XzSource::XzSource(int fd)
    : fd_(fd),
      input_(std::make_unique<std::uint8_t[]>(kInputSize)),
      output_(std::make_unique<std::uint8_t[]>(kOutputSize)) {
    stream_.allocator = &kAllocator;
    lzma_mt options{};
    options.flags = LZMA_CONCATENATED;
    options.threads = lzma_cputhreads();
    if (options.threads == 0) options.threads = 1;
    options.memlimit_threading = kThreadingMemory;
    // libarchive sets no limit on what a file may need; neither does this decoder.
    options.memlimit_stop = UINT64_MAX;
    initialised_ = lzma_stream_decoder_mt(&stream_, &options);
}

XzSource::~XzSource() {
    lzma_end(&stream_);
}

bool XzSource::Suits(int fd) {
    if (lzma_cputhreads() < 2) return false;
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    struct stat status {};
    if (start < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    const off_t size = status.st_size - start;
    constexpr std::uint8_t kMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    std::uint8_t head[sizeof kMagic];
    if (size < static_cast<off_t>(2 * LZMA_STREAM_HEADER_SIZE) ||
        !readAt(fd, head, sizeof head, start) || std::memcmp(head, kMagic, sizeof kMagic) != 0) {
        return false;
    }
    // Stream padding is zeros in groups of four after the last footer.
    std::uint8_t tail[kTailSize];
    const std::size_t tailSize = size < static_cast<off_t>(kTailSize)
                                     ? static_cast<std::size_t>(size)
                                     : kTailSize;
    const off_t tailAt = status.st_size - static_cast<off_t>(tailSize);
    if (!readAt(fd, tail, tailSize, tailAt)) return false;
    std::size_t end = tailSize;
    while (end >= 4 && std::memcmp(tail + end - 4, "\0\0\0\0", 4) == 0) end -= 4;
    if (end < LZMA_STREAM_HEADER_SIZE) return false;
    lzma_stream_flags footer{};
    if (lzma_stream_footer_decode(&footer, tail + end - LZMA_STREAM_HEADER_SIZE) != LZMA_OK) {
        return false;
    }
    const off_t footerAt = tailAt + static_cast<off_t>(end - LZMA_STREAM_HEADER_SIZE);
    const off_t indexAt = footerAt - static_cast<off_t>(footer.backward_size);
    if (footer.backward_size > kIndexLimit ||
        indexAt < start + static_cast<off_t>(LZMA_STREAM_HEADER_SIZE)) {
        return false;
    }
    std::vector<std::uint8_t> indexBytes(static_cast<std::size_t>(footer.backward_size));
    if (!readAt(fd, indexBytes.data(), indexBytes.size(), indexAt)) return false;
    lzma_index* index = nullptr;
    std::uint64_t indexMemory = UINT64_MAX;
    std::size_t at = 0;
    if (lzma_index_buffer_decode(&index, &indexMemory, nullptr, indexBytes.data(), &at,
                                 indexBytes.size()) != LZMA_OK) {
        return false;
    }
    // Every thread holds a whole block, packed and expanded (and a dictionary, which liblzma
    // counts too): when two blocks of the usual size do not fit, the decoder would expand on one
    // thread anyway, holding more memory than libarchive does. liblzma decides block by block.
    const lzma_vli blocks = lzma_index_block_count(index);
    const lzma_vli packedAndExpanded =
        lzma_index_uncompressed_size(index) + lzma_index_stream_size(index);
    const lzma_vli perBlock = blocks == 0 ? 0 : packedAndExpanded / blocks;
    lzma_index_end(index, nullptr);
    return blocks > 1 && 2 * perBlock <= kThreadingMemory;
}

int XzSource::OpenArchive(struct archive* handle) {
    if (initialised_ != LZMA_OK) {
        archive_set_error(handle, ENOMEM, "%s", describe(initialised_));
        return ARCHIVE_FATAL;
    }
    return archive_read_open(handle, this, nullptr, &XzSource::Callback, nullptr);
}

ssize_t XzSource::Callback(struct archive* handle, void* self, const void** buffer) {
    auto* source = static_cast<XzSource*>(self);
    *buffer = source->output_.get();
    const ssize_t n = source->fill();
    if (n < 0) archive_set_error(handle, EIO, "%s", source->error_.c_str());
    return n;
}

ssize_t XzSource::fill() {
    if (finished_) return 0;
    if (!error_.empty()) return -1;
    stream_.next_out = output_.get();
    stream_.avail_out = kOutputSize;
    while (stream_.avail_out != 0) {
        if (stream_.avail_in == 0 && !inputEnded_) {
            ssize_t n = 0;
            do {
                n = ::read(fd_, input_.get(), kInputSize);
            } while (n < 0 && errno == EINTR);
            if (n < 0) {
                error_ = "Cannot read the image file.";
                return -1;
            }
            stream_.next_in = input_.get();
            stream_.avail_in = static_cast<std::size_t>(n);
            inputEnded_ = n == 0;
        }
        const lzma_ret status = lzma_code(&stream_, inputEnded_ ? LZMA_FINISH : LZMA_RUN);
        if (status == LZMA_STREAM_END) {
            finished_ = true;
            break;
        }
        if (status != LZMA_OK) {
            error_ = describe(status);
            return -1;
        }
    }
    return static_cast<ssize_t>(kOutputSize - stream_.avail_out);
}

}  // namespace korvex::imager
