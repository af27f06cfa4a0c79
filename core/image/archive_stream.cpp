#include "core/image/archive_stream.hpp"

#include <array>
#include <string_view>

#include "core/base/utf8_text.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

// The reader writes its message here; the flat interface truncates to fit.
constexpr std::size_t kErrorTextSize = 1024;
using ErrorText = std::array<char, kErrorTextSize>;

[[noreturn]] void fail(const ErrorText& text) {
    throw ImagerError(repairUtf8(std::string_view(text.data())));
}

}  // namespace

ArchiveStream::ArchiveStream(int fd) {
    ErrorText error{};
    handle_ = kvi_archive_open(fd, error.data(), error.size());
    if (handle_ == nullptr) fail(error);
}

ArchiveStream::~ArchiveStream() {
    kvi_archive_close(handle_);
}

std::size_t ArchiveStream::read(std::uint8_t* buffer, std::size_t capacity) {
    ErrorText error{};
    const ssize_t n = kvi_archive_read(handle_, buffer, capacity, error.data(), error.size());
    if (n < 0) fail(error);
    return static_cast<std::size_t>(n);
}

void ArchiveStream::finish() {
    ErrorText error{};
    if (kvi_archive_finish(handle_, error.data(), error.size()) != 1) fail(error);
}

}  // namespace korvex
