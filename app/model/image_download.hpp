// ImageDownload: brings one catalogue image into the download cache and proves it.
//
// The finished file must have exactly the catalogue's compressed size and SHA-256, and the file
// moved to the finished name must be the very one that was hashed (same device and inode, looked
// at after the move), whoever else may write to the folder; when it is not, nothing stays at the
// finished name and the download fails with the checksum text. A download resumes from its
// partial file ("<name>.part", owner-only, exclusively locked for one attempt), survives up to two
// transient failures (time-outs, refused or lost connections, no network, HTTP 429 and 5xx) with
// waits of 1 s and 2 s, and stops within about 0.1 s of a cancellation. A file already in the
// cache is reused only after the same proof of size and hash, and is never deleted or fetched
// again automatically.
//
// fetch() blocks its caller; it calls `progress` on the calling thread. Failures: ImagerError (a
// message or the cancelled value), NetworkError (an "ImagerHTTP" status or a transfer failure),
// std::system_error for file-system failures of the cache folder or the final rename.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include "app/catalogue/catalogue_model.hpp"
#include "core/image/image_io.hpp"
#include "core/net/secure_network.hpp"
#include "core/records/cancellation.hpp"

namespace korvex {

struct ImageDownload {
    static constexpr int kAttempts = 3;
    static constexpr std::chrono::milliseconds kWaitStep{100};

    // 60 s idle, 24 h whole transfer, the system's CAs.
    static NetworkOptions networkOptions();

    // "<id>-<first 16 hex digits of sha256, lower case>" + ".img" for "none", else "." +
    // compression. The catalogue's own fileName plays no part.
    static std::string fileName(const ImageVariant& variant);

    // The path of the verified image in `directory` (created private if missing). Events:
    // "downloading" (bytes in the partial file, of compressedSize) and "checking" (hashing).
    static std::string fetch(const ImageVariant& variant, const std::string& directory,
                             const Cancellation& cancel, const ProgressCallback& progress,
                             const NetworkOptions& options = networkOptions());

    // True for the failures worth another attempt: time-out, cannot connect, connection lost,
    // not connected, and server statuses 429 and 500 or above.
    static bool isRetryable(const std::exception_ptr& failure);
};

}  // namespace korvex
