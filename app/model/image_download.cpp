#include "app/model/image_download.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

#include "app/model/app_paths.hpp"
#include "core/base/ascii_text.hpp"
#include "core/base/unique_fd.hpp"
#include "core/image/source_file.hpp"
#include "core/net/network_error.hpp"
#include "core/net/transfer.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

// A signed decimal integer (optional sign, then digits only) that fits 64 bits.
std::optional<std::int64_t> signedDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::string_view digits = !text.empty() && text.front() == '-' ? text.substr(1) : text;
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

const char* const kChecksumInvalid =
    "Downloaded image checksum is invalid. Remove the partial download and retry.";

[[noreturn]] void moveFailed() {
    throw std::system_error(errno, std::generic_category(), "Cannot move the download");
}

// Renames `from` to `to` in `dir` unless `to` exists (false, errno EEXIST): no rename here ever
// destroys a file. Some file systems (FUSE, network shares) cannot rename exclusively; there the
// name is checked first, and only a file created in between could be replaced.
bool renameWithoutReplacing(int dir, const std::string& from, const std::string& to) {
    if (::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat st {};
    if (::fstatat(dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(dir, from.c_str(), dir, to.c_str()) == 0;
}

std::string randomSuffix() {
    std::random_device source;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", source(), source());
    return text;
}

// Moves the partial file to the finished name and proves that what then carries the finished name
// is the very file read through `hashed`: same device and inode, looked at after the move without
// following a link. A cache folder others may write to (a shared download folder is taken as it
// is) lets them put a file of their own, or a stale one of ours, in place of the partial name while
// it is hashed; a rename by name would then hand out bytes nobody checked.
// When the proof fails, whatever carries the finished name is moved back to the partial name (or,
// if that is taken again, to a fresh name beside it) and the download fails with the checksum
// text. Nothing is ever unlinked: a check followed by an unlink could, in a folder others write
// to, remove a file that was swapped in between; a rename that never replaces loses nothing, and
// the next attempt refuses a partial file that is not ours or proves it again from the start.
void moveHashedFile(const SourceFile& hashed, const std::string& directory,
                    const std::string& partialName, const std::string& finishedName) {
    struct stat proven {};
    if (::fstat(hashed.fd(), &proven) != 0) moveFailed();
    // Every step below names the same folder, whatever happens to its path meanwhile.
    UniqueFd dir(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) moveFailed();
    if (!renameWithoutReplacing(dir.get(), partialName, finishedName)) moveFailed();
    struct stat moved {};
    if (::fstatat(dir.get(), finishedName.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
        moved.st_dev == proven.st_dev && moved.st_ino == proven.st_ino)
        return;
    if (!renameWithoutReplacing(dir.get(), finishedName, partialName) && errno == EEXIST) {
        for (int tries = 0; tries < 16; ++tries)
            if (renameWithoutReplacing(dir.get(), finishedName,
                                       partialName + "." + randomSuffix()) ||
                errno != EEXIST)
                break;
    }
    throw ImagerError(kChecksumInvalid);
}

// One attempt: resume or restart the partial file, transfer, and prove the result.
std::string attempt(const ImageVariant& variant, const std::string& directory,
                    const std::string& finishedName, const std::string& expectedHash,
                    const Cancellation& cancel, const ProgressCallback& progress,
                    const NetworkOptions& options) {
    const std::int64_t size = variant.compressedSize;
    const std::string partialName = finishedName + ".part";
    const std::string partial = directory + "/" + partialName;
    SourceFile part(partial, getuid(), /*writable=*/true);
    const int fd = part.fd();
    std::int64_t offset = part.size();
    if (size <= offset) {
        if (::ftruncate(fd, 0) != 0) throw ImagerError("Cannot reset partial download.");
        offset = 0;
    }
    std::int64_t written = offset;

    HttpsUrl url = SecureNetwork::https(variant.downloadUrl);
    std::vector<std::string> headers = {"Accept-Encoding: identity"};
    if (offset > 0) headers.push_back("Range: bytes=" + std::to_string(offset) + "-");

    Transfer transfer(
        [&](const HttpResponse& response) {
            if (response.status == 200) {
                if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
                    throw ImagerError("Cannot restart download.");
                written = 0;
            } else if (response.status == 206 && offset > 0) {
                std::string expected = "bytes " + std::to_string(offset) + "-" +
                                       std::to_string(size - 1) + "/" + std::to_string(size);
                if (response.header("Content-Range") != expected)
                    throw ImagerError("Invalid resumed download range.");
                if (::lseek(fd, offset, SEEK_SET) != offset)
                    throw ImagerError("Cannot resume download.");
            } else {
                throw NetworkError::httpStatus(response.status);
            }
            if (auto length = response.header("Content-Length")) {
                if (auto value = signedDecimal(*length); value && *value != size - written)
                    throw ImagerError("Download size does not match the catalogue.");
            }
        },
        [&](std::string_view chunk) {
            if (cancel.isCancelled()) throw ImagerError::cancelled();
            auto n = static_cast<std::int64_t>(chunk.size());
            if (written + n > size) throw ImagerError("Download exceeds expected size.");
            ImageIO::writeAll(
                fd, std::span<const std::uint8_t>(
                        reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()));
            written += n;
            if (progress) progress(WriteEvent{"downloading", written, size, std::nullopt});
        });
    transfer.run(url, headers, options, [&] { return cancel.isCancelled(); });
    if (cancel.isCancelled()) throw ImagerError::cancelled();
    transfer.rethrowIfFailed();
    if (written != size || ::fsync(fd) != 0) throw ImagerError("Download is incomplete.");
    part.close();

    SourceFile check(partial, getuid(), /*writable=*/false);
    if (check.size() != size) throw ImagerError("Download size verification failed.");
    if (ImageIO::hashFile(check, cancel, progress) != expectedHash)
        throw ImagerError(kChecksumInvalid);
    moveHashedFile(check, directory, partialName, finishedName);
    return directory + "/" + finishedName;
}

}  // namespace

NetworkOptions ImageDownload::networkOptions() {
    NetworkOptions options;
    options.requestTimeout = std::chrono::seconds(60);
    options.resourceTimeout = std::chrono::seconds(86'400);
    return options;
}

std::string ImageDownload::fileName(const ImageVariant& variant) {
    std::string name = variant.id + "-" + lowerAscii(variant.sha256.substr(0, 16));
    return name + (variant.compression == "none" ? ".img" : "." + variant.compression);
}

bool ImageDownload::isRetryable(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const NetworkError& e) {
        if (e.domain() == NetworkError::kURLDomain)
            return e.code() == NetworkError::kTimedOut ||
                   e.code() == NetworkError::kCannotConnect ||
                   e.code() == NetworkError::kConnectionLost ||
                   e.code() == NetworkError::kNotConnected;
        if (e.domain() == NetworkError::kHTTPDomain) return e.code() == 429 || e.code() >= 500;
    } catch (...) {
    }
    return false;
}

std::string ImageDownload::fetch(const ImageVariant& variant, const std::string& directory,
                                 const Cancellation& cancel, const ProgressCallback& progress,
                                 const NetworkOptions& options) {
    AppPaths::makePrivate(directory);
    const std::string finished = directory + "/" + fileName(variant);
    const std::string expectedHash = lowerAscii(variant.sha256);

    struct stat st {};
    if (::lstat(finished.c_str(), &st) == 0) {
        SourceFile cached(finished, getuid(), /*writable=*/false);
        if (cached.size() != variant.compressedSize ||
            ImageIO::hashFile(cached, cancel, progress) != expectedHash)
            throw ImagerError(
                "Cached image verification failed. Remove this cached image and retry.");
        return finished;
    }

    for (int number = 0;; ++number) {
        try {
            return attempt(variant, directory, fileName(variant), expectedHash, cancel, progress,
                           options);
        } catch (...) {
            if (cancel.isCancelled()) throw ImagerError::cancelled();
            if (number == kAttempts - 1 || !isRetryable(std::current_exception())) throw;
        }
        const auto wait = std::chrono::seconds(number == 0 ? 1 : 2);
        for (auto waited = std::chrono::milliseconds(0); waited < wait; waited += kWaitStep) {
            if (cancel.isCancelled()) throw ImagerError::cancelled();
            std::this_thread::sleep_for(kWaitStep);
        }
        if (cancel.isCancelled()) throw ImagerError::cancelled();
    }
}

}  // namespace korvex
