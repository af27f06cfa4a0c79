#include "core/native/gzip_source.hpp"

#include <archive.h>
#include <libdeflate.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/native/archive_reader.hpp"

namespace korvex::imager {
namespace {

// The stored file is read in blocks as large as libarchive's own; the expanded bytes are handed
// over in smaller blocks that stay in the processor's cache until libarchive copies them out.
constexpr std::size_t kInputSize = 1 << 20;
constexpr std::size_t kOutputSize = 1 << 17;
// 15-bit window, GZip framing only.
constexpr int kGzipWindowBits = 15 + 16;

constexpr const char* kCorrupt = "Zlib library error: Corrupted input data";

}  // namespace

GzipSource::GzipSource(int fd)
    : fd_(fd),
      input_(std::make_unique<std::uint8_t[]>(kInputSize)),
      output_(std::make_unique<std::uint8_t[]>(kOutputSize)) {
    initialised_ = inflateInit2(&stream_, kGzipWindowBits) == Z_OK;
    if (initialised_) startMember();
}

// zlib still parses and consumes each trailer; the check is ours (trailerMatches), on the CRC-32
// computed in fill().
void GzipSource::startMember() {
    (void)inflateValidate(&stream_, 0);
    crc_ = 0;
    length_ = 0;
}

bool GzipSource::trailerMatches() {
    // zlib has consumed exactly the 8 trailer bytes up to next_in, which may begin in the
    // previous input block.
    std::uint8_t trailer[kTrailerSize];
    const auto inBlock = static_cast<std::size_t>(stream_.next_in - input_.get());
    const std::size_t fromBlock = inBlock < kTrailerSize ? inBlock : kTrailerSize;
    const std::size_t fromEarlier = kTrailerSize - fromBlock;
    std::memcpy(trailer, earlier_ + kTrailerSize - fromEarlier, fromEarlier);
    std::memcpy(trailer + fromEarlier, stream_.next_in - fromBlock, fromBlock);
    auto little = [&trailer](std::size_t at) {
        return static_cast<std::uint32_t>(trailer[at]) |
               static_cast<std::uint32_t>(trailer[at + 1]) << 8 |
               static_cast<std::uint32_t>(trailer[at + 2]) << 16 |
               static_cast<std::uint32_t>(trailer[at + 3]) << 24;
    };
    if (little(0) != crc_) {
        error_ = std::string(kCorrupt) + " (incorrect data check)";
        return false;
    }
    if (little(4) != length_) {
        error_ = std::string(kCorrupt) + " (incorrect length check)";
        return false;
    }
    return true;
}

GzipSource::~GzipSource() {
    if (initialised_) inflateEnd(&stream_);
}

bool GzipSource::Starts(int fd) {
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    if (offset < 0) return false;
    std::uint8_t head[4] = {};
    ssize_t n = 0;
    do {
        n = ::pread(fd, head, sizeof head, offset);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof head) && head[0] == 0x1F && head[1] == 0x8B &&
           head[2] == Z_DEFLATED && (head[3] & 0xE0) == 0;
}

int GzipSource::OpenArchive(struct archive* handle) {
    if (!initialised_) {
        archive_set_error(handle, ENOMEM, "%s", kReaderNotAllocated);
        return ARCHIVE_FATAL;
    }
    return archive_read_open(handle, this, nullptr, &GzipSource::Callback, nullptr);
}

ssize_t GzipSource::Callback(struct archive* handle, void* self, const void** buffer) {
    auto* source = static_cast<GzipSource*>(self);
    *buffer = source->output_.get();
    const ssize_t n = source->fill();
    if (n < 0) archive_set_error(handle, EIO, "%s", source->error_.c_str());
    return n;
}

bool GzipSource::readInput() {
    // Keeps the last bytes of the block that is about to be replaced, for trailerMatches().
    if (stream_.next_in != nullptr) {
        const auto used = static_cast<std::size_t>(stream_.next_in - input_.get());
        const std::size_t keep = used < kTrailerSize ? used : kTrailerSize;
        std::memmove(earlier_, earlier_ + keep, kTrailerSize - keep);
        std::memcpy(earlier_ + kTrailerSize - keep, stream_.next_in - keep, keep);
    }
    ssize_t n = 0;
    do {
        n = ::read(fd_, input_.get(), kInputSize);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        error_ = "Cannot read the image file.";
        return false;
    }
    stream_.next_in = input_.get();
    stream_.avail_in = static_cast<uInt>(n);
    inputEnded_ = n == 0;
    return true;
}

bool GzipSource::onlyZerosRemain() {
    for (;;) {
        for (uInt i = 0; i < stream_.avail_in; ++i) {
            if (stream_.next_in[i] != 0) {
                error_ = std::string(kCorrupt) + " (unexpected bytes after the last member)";
                return false;
            }
        }
        stream_.next_in += stream_.avail_in;
        stream_.avail_in = 0;
        if (inputEnded_) return true;
        if (!readInput()) return false;
    }
}

ssize_t GzipSource::fill() {
    if (finished_) return 0;
    if (!error_.empty()) return -1;
    stream_.next_out = output_.get();
    stream_.avail_out = static_cast<uInt>(kOutputSize);
    while (stream_.avail_out != 0) {
        if (stream_.avail_in == 0 && !inputEnded_ && !readInput()) return -1;
        if (memberEnded_) {
            // gzip concatenates members; padding of zeros may follow the last one.
            if (stream_.avail_in == 0 || stream_.next_in[0] == 0) {
                if (!onlyZerosRemain()) return -1;
                finished_ = true;
                break;
            }
            if (inflateReset(&stream_) != Z_OK) {
                error_ = kCorrupt;
                return -1;
            }
            startMember();
            memberEnded_ = false;
        }
        std::uint8_t* const produced = stream_.next_out;
        const int status = inflate(&stream_, Z_NO_FLUSH);
        const auto count = static_cast<std::size_t>(stream_.next_out - produced);
        crc_ = libdeflate_crc32(crc_, produced, count);
        length_ += static_cast<std::uint32_t>(count);
        if (status == Z_STREAM_END) {
            if (!trailerMatches()) return -1;
            memberEnded_ = true;
        } else if (status == Z_BUF_ERROR && stream_.avail_in == 0 && inputEnded_) {
            error_ = "truncated gzip input";  // libarchive's words for the same fault
            return -1;
        } else if (status == Z_MEM_ERROR) {
            error_ = kReaderNotAllocated;
            return -1;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            // Z_DATA_ERROR: a bad header or block; zlib names which.
            error_ = std::string(kCorrupt) +
                     (stream_.msg != nullptr ? std::string(" (") + stream_.msg + ")" : "");
            return -1;
        }
    }
    return static_cast<ssize_t>(kOutputSize - stream_.avail_out);
}

}  // namespace korvex::imager
