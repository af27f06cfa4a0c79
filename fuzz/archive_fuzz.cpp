// Arbitrary bytes as a stored image: the flat archive functions and the stream loop either expand
// them or fail with a text; no crash, leak, hang or sanitizer report. Expansion is cut off at
// 64 MiB so that a small bomb cannot stall the run. The seeds lead into every decoder: libarchive's
// raw, XZ, Zstandard and ZIP readers, liblzma's multi-threaded decoder for XZ of several blocks,
// our zlib GZip decoder with its member, trailer and padding checks, and the tar test of the first
// block.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/image/image_io.hpp"
#include "core/native/archive.h"
#include "core/records/imager_error.hpp"

namespace {

constexpr std::size_t kCutOff = 64u << 20;

// One private file, rewritten for every input and removed at exit.
const std::string& scratchFile() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string folder = std::string(base && *base ? base : "/tmp") + "/kvi-fuzz.XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) std::abort();
        static std::string keep = folder;
        std::atexit([] {
            std::remove((keep + "/image").c_str());
            ::rmdir(keep.c_str());
        });
        return folder + "/image";
    }();
    return path;
}

void writeScratch(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(scratchFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void throughFlatFunctions() {
    const int fd = ::open(scratchFile().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    char error[1024] = "";
    kvi_archive* handle = kvi_archive_open(fd, error, sizeof error);
    if (handle == nullptr) {
        if (error[0] == '\0') std::abort();  // a failure always says why
    } else {
        std::vector<char> buffer(65536);
        std::size_t total = 0;
        ssize_t n = 0;
        while (total < kCutOff && (n = kvi_archive_read(handle, buffer.data(), buffer.size(), error,
                                                        sizeof error)) > 0) {
            total += static_cast<std::size_t>(n);
        }
        if (n < 0 && error[0] == '\0') std::abort();
        if (n == 0 && kvi_archive_finish(handle, error, sizeof error) != 1 && error[0] == '\0') {
            std::abort();
        }
        kvi_archive_close(handle);
    }
    ::close(fd);
}

void throughStream() {
    try {
        const korvex::SourceFile source(scratchFile(), ::getuid(), false);
        const korvex::Cancellation cancel;
        std::size_t seen = 0;
        const korvex::StreamResult result =
            korvex::ImageIO::stream(source, cancel, [&](std::span<const std::uint8_t> chunk) {
                seen += chunk.size();
                if (seen > kCutOff) throw korvex::ImagerError("cut off");
            });
        if (result.expanded <= 0 || result.expanded % 512 != 0 ||
            static_cast<std::size_t>(result.expanded) != seen ||
            result.expandedSHA256.size() != 64) {
            std::abort();
        }
    } catch (const korvex::ImagerError& e) {
        if (e.description().empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    writeScratch(data, size);
    throughFlatFunctions();
    throughStream();
    return 0;
}
