#include "core/native/archive_reader.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>

#include "core/native/gzip_source.hpp"
#include "core/native/xz_source.hpp"

namespace korvex::imager {
namespace {

// libarchive reads the stored file in blocks of this size.
constexpr std::size_t kReadBlockSize = 1 << 20;
constexpr std::uint16_t kRegularFileType = 0x8000;

// Prefers libarchive's own message; `fallback` only when it has none.
void describe(struct archive* handle, const char* fallback, std::string& error) {
    const char* text = handle != nullptr ? archive_error_string(handle) : nullptr;
    error = (text != nullptr && *text != '\0') ? text : fallback;
}

bool isRegularFile(struct archive_entry* entry) {
    return static_cast<std::uint16_t>(archive_entry_filetype(entry)) == kRegularFileType;
}

// A warning counts as failure: libarchive warns when it would fall back to an external program
// for a codec it was built without, and we never run one.
bool EnableImageSupport(struct archive* handle, std::string& error) {
    struct Step {
        int (*enable)(struct archive*);
        const char* failure;
    };
    static constexpr Step kSteps[] = {
        {archive_read_support_filter_none, "Uncompressed image support is unavailable."},
        {archive_read_support_filter_gzip, "Built-in GZip image support is unavailable."},
        {archive_read_support_filter_xz, "Built-in XZ image support is unavailable."},
        {archive_read_support_filter_zstd, "Built-in Zstandard image support is unavailable."},
        {archive_read_support_format_raw, "Raw image support is unavailable."},
        {archive_read_support_format_zip, "ZIP image support is unavailable."},
    };
    for (const Step& step : kSteps) {
        if (step.enable(handle) != ARCHIVE_OK) {
            error = step.failure;
            return false;
        }
    }
    return true;
}

bool MoveToPayloadEntry(struct archive* handle, std::optional<std::uint64_t> expectedSize,
                        std::string& error) {
    for (;;) {
        struct archive_entry* entry = nullptr;
        const int status = archive_read_next_header(handle, &entry);
        if (status == ARCHIVE_EOF) {
            error = "The image archive does not contain a regular file.";
            return false;
        }
        if (status != ARCHIVE_OK) {
            describe(handle, "Could not read the image archive header.", error);
            return false;
        }
        if (isRegularFile(entry)) {
            if (expectedSize && archive_entry_size_is_set(entry) != 0) {
                const la_int64_t size = archive_entry_size(entry);
                if (size < 0 || static_cast<std::uint64_t>(size) != *expectedSize) {
                    error = "The expanded image size does not match the expected image size.";
                    return false;
                }
            }
            return true;
        }
        if (archive_read_data_skip(handle) != ARCHIVE_OK) {
            describe(handle, "Could not read the image archive header.", error);
            return false;
        }
    }
}

// Opens `handle` on the descriptor: a GZip file through our own checked decoder, an XZ file of
// several blocks through our two-thread one, anything else through libarchive's descriptor
// reader and its filters.
int StartOnDescriptor(std::unique_ptr<GzipSource>& gzip, std::unique_ptr<XzSource>& xz,
                      struct archive* handle, int fd) {
    gzip.reset();
    xz.reset();
    if (GzipSource::Starts(fd)) {
        gzip = std::make_unique<GzipSource>(fd);
        return gzip->OpenArchive(handle);
    }
    xz = XzSource::ForFile(fd);
    if (xz != nullptr) return xz->OpenArchive(handle);
    return archive_read_open_fd(handle, fd, kReadBlockSize);
}

// A GZip stream that libarchive's filter would expand (one nested in an XZ stream or in a GZip
// file) has a trailer nobody checks.
bool RefuseUncheckedGzip(struct archive* handle, std::string& error) {
    const int filters = archive_filter_count(handle);
    for (int i = 0; i < filters; ++i) {
        if (archive_filter_code(handle, i) == ARCHIVE_FILTER_GZIP) {
            error = "The image is a GZip file inside another compressed file.";
            return false;
        }
    }
    return true;
}

// The octal number of a tar header field: leading blanks, digits, then a blank or NUL (or the
// field's end). nullopt when the field holds anything else.
std::optional<std::uint32_t> TarOctal(const std::uint8_t* field, std::size_t size) {
    std::size_t i = 0;
    while (i < size && field[i] == ' ') ++i;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (; i < size && field[i] >= '0' && field[i] <= '7' && digits < 8; ++i, ++digits) {
        value = value * 8 + static_cast<std::uint32_t>(field[i] - '0');
    }
    if (digits == 0) return std::nullopt;
    for (; i < size; ++i)
        if (field[i] != ' ' && field[i] != '\0') return std::nullopt;
    return value;
}

}  // namespace

bool IsTarHeader(const std::uint8_t* block) {
    constexpr std::size_t kChecksumAt = 148;
    constexpr std::size_t kChecksumSize = 8;
    constexpr std::size_t kMagicAt = 257;
    // POSIX writes "ustar\0" then the version "00"; GNU tar writes "ustar  \0".
    const bool magic = std::memcmp(block + kMagicAt, "ustar", 5) == 0 &&
                       (block[kMagicAt + 5] == '\0' || block[kMagicAt + 5] == ' ');
    if (!magic) return false;
    const auto recorded = TarOctal(block + kChecksumAt, kChecksumSize);
    if (!recorded) return false;
    // The checksum counts its own field as blanks; old programs summed signed bytes.
    std::uint32_t unsignedSum = 0;
    std::int32_t signedSum = 0;
    for (std::size_t i = 0; i < 512; ++i) {
        const bool inField = i >= kChecksumAt && i < kChecksumAt + kChecksumSize;
        const std::uint8_t byte = inField ? ' ' : block[i];
        unsignedSum += byte;
        signedSum += static_cast<std::int8_t>(byte);
    }
    return *recorded == unsignedSum || static_cast<std::int32_t>(*recorded) == signedSum;
}

ArchiveImageReader::ArchiveImageReader() = default;

ArchiveImageReader::~ArchiveImageReader() {
    release();
}

void ArchiveImageReader::release() noexcept {
    if (handle_ != nullptr) {
        archive_read_free(handle_);
        handle_ = nullptr;
    }
    gzip_.reset();
    xz_.reset();
    ownedFd_.reset();
    empty_ = false;
    headLength_ = 0;
    headOffset_ = 0;
}

bool ArchiveImageReader::checkHead(std::string& error) {
    while (headLength_ < kHeadSize) {
        const la_ssize_t n =
            archive_read_data(handle_, head_ + headLength_, kHeadSize - headLength_);
        if (n < 0) {
            describe(handle_, kCannotExtract, error);
            return false;
        }
        if (n == 0) break;
        headLength_ += static_cast<std::size_t>(n);
    }
    if (headLength_ == kHeadSize && IsTarHeader(head_)) {
        error = "The image is a tar archive, not a disk image.";
        return false;
    }
    return true;
}

bool ArchiveImageReader::open(Start start, const void* source, const char* allocationFailure,
                              const char* openFailure, bool restartable,
                              std::optional<std::uint64_t> expectedSize, std::string& error) {
    release();
    handle_ = archive_read_new();
    if (handle_ == nullptr) {
        error = allocationFailure;
        return false;
    }
    if (!EnableImageSupport(handle_, error)) {
        release();
        return false;
    }
    bool ok = true;
    if (start(*this, handle_, source) != ARCHIVE_OK) {
        describe(handle_, openFailure, error);
        ok = false;
    }
    ok = ok && MoveToPayloadEntry(handle_, expectedSize, error);
    if (ok && RefuseUncheckedGzip(handle_, error) && checkHead(error)) return true;
    release();
    // A stream that opened but is not an image is refused as it is, not tried as an empty one.
    if (ok) return false;
    return restartable && openEmpty(start, source);
}

// An empty image (or a compressed stream that expands to nothing) must open and read as nothing,
// so that the callers reject it in their own words. libarchive's raw format will not take it, so
// the stream is tried once more with the format that recognises exactly an empty stream.
bool ArchiveImageReader::openEmpty(Start start, const void* source) {
    struct archive* probe = archive_read_new();
    if (probe == nullptr) return false;
    std::string ignored;
    struct archive_entry* entry = nullptr;
    const bool isEmpty = EnableImageSupport(probe, ignored) &&
                         archive_read_support_format_empty(probe) == ARCHIVE_OK &&
                         start(*this, probe, source) == ARCHIVE_OK &&
                         archive_read_next_header(probe, &entry) == ARCHIVE_EOF &&
                         archive_format(probe) == ARCHIVE_FORMAT_EMPTY;
    if (!isEmpty) {
        archive_read_free(probe);
        gzip_.reset();
        xz_.reset();
        return false;
    }
    handle_ = probe;
    empty_ = true;
    return true;
}

bool ArchiveImageReader::Open(const std::wstring& path, std::optional<std::uint64_t> expectedSize,
                              std::string& error) {
    release();
    // The same conversion libarchive applies to a wide path: the locale's multibyte encoding.
    std::mbstate_t state{};
    const wchar_t* cursor = path.c_str();
    const std::size_t length = std::wcsrtombs(nullptr, &cursor, 0, &state);
    if (length == static_cast<std::size_t>(-1)) {
        error = "Could not open the image file.";
        return false;
    }
    std::string narrow(length, '\0');
    cursor = path.c_str();
    state = std::mbstate_t{};
    std::wcsrtombs(narrow.data(), &cursor, length, &state);
    korvex::UniqueFd fd(::open(narrow.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        error = "Could not open the image file.";
        return false;
    }
    if (!OpenDescriptor(fd.get(), expectedSize, error)) return false;
    ownedFd_ = std::move(fd);
    return true;
}

bool ArchiveImageReader::OpenDescriptor(int fd, std::optional<std::uint64_t> expectedSize,
                                        std::string& error) {
    struct Source {
        int fd;
        off_t offset;  // where the payload starts, for a second attempt
    };
    const Source source{fd, ::lseek(fd, 0, SEEK_CUR)};
    const Start start = [](ArchiveImageReader& self, struct archive* handle, const void* opaque) {
        const auto* s = static_cast<const Source*>(opaque);
        if (s->offset >= 0 && ::lseek(s->fd, s->offset, SEEK_SET) != s->offset) {
            return static_cast<int>(ARCHIVE_FATAL);
        }
        return StartOnDescriptor(self.gzip_, self.xz_, handle, s->fd);
    };
    return open(start, &source, kReaderNotAllocated, "Could not open the image descriptor.",
                source.offset >= 0, expectedSize, error);
}

ssize_t ArchiveImageReader::Read(void* buffer, std::size_t size, std::string& error) {
    if (handle_ == nullptr || size > static_cast<std::size_t>(SSIZE_MAX)) {
        error = kReaderNotReady;
        return -1;
    }
    if (empty_) return 0;
    // The first block went to the tar test at opening; it leads the first read.
    const std::size_t fromHead = std::min(size, headLength_ - headOffset_);
    std::memcpy(buffer, head_ + headOffset_, fromHead);
    headOffset_ += fromHead;
    if (fromHead == size) return static_cast<ssize_t>(size);
    const la_ssize_t n =
        archive_read_data(handle_, static_cast<std::uint8_t*>(buffer) + fromHead, size - fromHead);
    if (n < 0) {
        describe(handle_, kCannotExtract, error);
        return -1;
    }
    return static_cast<ssize_t>(fromHead) + n;
}

bool ArchiveImageReader::Finish(std::string& error) {
    if (handle_ == nullptr) {
        error = kReaderNotReady;
        return false;
    }
    if (empty_) return true;
    for (;;) {
        struct archive_entry* entry = nullptr;
        const int status = archive_read_next_header(handle_, &entry);
        if (status == ARCHIVE_EOF) return true;
        if (status != ARCHIVE_OK) {
            describe(handle_, kCannotFinish, error);
            return false;
        }
        if (isRegularFile(entry)) {
            error = "The image archive contains more than one regular file.";
            return false;
        }
        if (archive_read_data_skip(handle_) != ARCHIVE_OK) {
            describe(handle_, kCannotFinish, error);
            return false;
        }
    }
}

}  // namespace korvex::imager
