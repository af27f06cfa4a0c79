#include "core/native/archive_reader.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <unistd.h>

#include <climits>
#include <cstring>

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

}  // namespace

ArchiveImageReader::~ArchiveImageReader() {
    release();
}

void ArchiveImageReader::release() noexcept {
    if (handle_ != nullptr) {
        archive_read_free(handle_);
        handle_ = nullptr;
    }
    empty_ = false;
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
    if (start(handle_, source) != ARCHIVE_OK) {
        describe(handle_, openFailure, error);
        ok = false;
    }
    ok = ok && MoveToPayloadEntry(handle_, expectedSize, error);
    if (ok) return true;
    release();
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
                         start(probe, source) == ARCHIVE_OK &&
                         archive_read_next_header(probe, &entry) == ARCHIVE_EOF &&
                         archive_format(probe) == ARCHIVE_FORMAT_EMPTY;
    if (!isEmpty) {
        archive_read_free(probe);
        return false;
    }
    handle_ = probe;
    empty_ = true;
    return true;
}

bool ArchiveImageReader::Open(const std::wstring& path, std::optional<std::uint64_t> expectedSize,
                              std::string& error) {
    const Start start = [](struct archive* handle, const void* source) {
        return archive_read_open_filename_w(handle, static_cast<const wchar_t*>(source),
                                            kReadBlockSize);
    };
    return open(start, path.c_str(), "Could not allocate the image archive reader.",
                "Could not open the image file.", true, expectedSize, error);
}

bool ArchiveImageReader::OpenDescriptor(int fd, std::optional<std::uint64_t> expectedSize,
                                        std::string& error) {
    struct Source {
        int fd;
        off_t offset;  // where the payload starts, for a second attempt
    };
    const Source source{fd, ::lseek(fd, 0, SEEK_CUR)};
    const Start start = [](struct archive* handle, const void* opaque) {
        const auto* s = static_cast<const Source*>(opaque);
        if (s->offset >= 0 && ::lseek(s->fd, s->offset, SEEK_SET) != s->offset) {
            return static_cast<int>(ARCHIVE_FATAL);
        }
        return archive_read_open_fd(handle, s->fd, kReadBlockSize);
    };
    return open(start, &source, "Could not allocate the image reader.",
                "Could not open the image descriptor.", source.offset >= 0, expectedSize, error);
}

ssize_t ArchiveImageReader::Read(void* buffer, std::size_t size, std::string& error) {
    if (handle_ == nullptr || size > static_cast<std::size_t>(SSIZE_MAX)) {
        error = "The image archive reader is not ready.";
        return -1;
    }
    if (empty_) return 0;
    const la_ssize_t n = archive_read_data(handle_, buffer, size);
    if (n < 0) {
        describe(handle_, "Could not extract the image archive.", error);
        return -1;
    }
    return n;
}

bool ArchiveImageReader::Finish(std::string& error) {
    if (handle_ == nullptr) {
        error = "The image archive reader is not ready.";
        return false;
    }
    if (empty_) return true;
    for (;;) {
        struct archive_entry* entry = nullptr;
        const int status = archive_read_next_header(handle_, &entry);
        if (status == ARCHIVE_EOF) return true;
        if (status != ARCHIVE_OK) {
            describe(handle_, "Could not finish reading the image archive.", error);
            return false;
        }
        if (isRegularFile(entry)) {
            error = "The image archive contains more than one regular file.";
            return false;
        }
        if (archive_read_data_skip(handle_) != ARCHIVE_OK) {
            describe(handle_, "Could not finish reading the image archive.", error);
            return false;
        }
    }
}

}  // namespace korvex::imager
