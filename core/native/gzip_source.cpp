#include "core/native/gzip_source.hpp"

#include <archive.h>

#include <unistd.h>

#include <cerrno>

namespace korvex::imager {
namespace {

// The stored file is read in blocks as large as libarchive's own; the expanded bytes are handed
// over in smaller blocks that stay in the processor's cache until libarchive copies them out.
constexpr std::size_t kInputSize = 1 << 20;
constexpr std::size_t kOutputSize = 1 << 17;
// 15-bit window, GZip framing only: zlib then checks each member's CRC-32 and ISIZE itself.
constexpr int kGzipWindowBits = 15 + 16;

constexpr const char* kCorrupt = "Zlib library error: Corrupted input data";

}  // namespace

GzipSource::GzipSource(int fd)
    : fd_(fd),
      input_(std::make_unique<std::uint8_t[]>(kInputSize)),
      output_(std::make_unique<std::uint8_t[]>(kOutputSize)) {
    initialised_ = inflateInit2(&stream_, kGzipWindowBits) == Z_OK;
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
        archive_set_error(handle, ENOMEM, "Could not allocate the image reader.");
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
            memberEnded_ = false;
        }
        const int status = inflate(&stream_, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            memberEnded_ = true;
        } else if (status == Z_BUF_ERROR && stream_.avail_in == 0 && inputEnded_) {
            error_ = "truncated gzip input";  // libarchive's words for the same fault
            return -1;
        } else if (status == Z_MEM_ERROR) {
            error_ = "Could not allocate the image reader.";
            return -1;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            // Z_DATA_ERROR: a bad block, a wrong CRC-32 ("incorrect data check") or a wrong ISIZE
            // ("incorrect length check"); zlib names which.
            error_ = std::string(kCorrupt) +
                     (stream_.msg != nullptr ? std::string(" (") + stream_.msg + ")" : "");
            return -1;
        }
    }
    return static_cast<ssize_t>(kOutputSize - stream_.avail_out);
}

}  // namespace korvex::imager
