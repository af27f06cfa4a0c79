// Arbitrary bytes as a stored image: the flat archive functions and the stream loop either expand
// them or fail with a text; no crash, leak, hang or sanitizer report. Expansion is cut off at
// 64 MiB so that a small bomb cannot stall the run. The seeds lead into every decoder: libarchive's
// raw, XZ, Zstandard and ZIP readers, our two-thread decoder for XZ of several blocks, our zlib
// GZip decoder with its member, trailer and padding checks, and the tar test of the first block.
// Besides, every input of more than one block's size is packed as XZ in small blocks, so that the
// two-thread decoder always runs: intact, it must give back what the input itself reads as when
// that is the input (a raw image); with one byte changed where the input's first bytes say, it
// must expand or fail with a text like any other file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <lzma.h>

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

// Everything the flat functions expand (up to the cut-off), or nothing when they fail.
std::optional<std::string> throughFlatFunctions() {
    const int fd = ::open(scratchFile().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    char error[1024] = "";
    kvi_archive* handle = kvi_archive_open(fd, error, sizeof error);
    std::optional<std::string> expanded;
    if (handle == nullptr) {
        if (error[0] == '\0') std::abort();  // a failure always says why
    } else {
        std::vector<char> buffer(65536);
        std::string data;
        ssize_t n = 0;
        while (data.size() < kCutOff && (n = kvi_archive_read(handle, buffer.data(), buffer.size(),
                                                              error, sizeof error)) > 0) {
            data.append(buffer.data(), static_cast<std::size_t>(n));
        }
        if (n < 0 && error[0] == '\0') std::abort();
        if (n == 0) {
            if (kvi_archive_finish(handle, error, sizeof error) == 1) {
                expanded = std::move(data);
            } else if (error[0] == '\0') {
                std::abort();
            }
        }
        kvi_archive_close(handle);
    }
    ::close(fd);
    return expanded;
}

// The input packed as one XZ stream of 128-byte blocks.
std::vector<std::uint8_t> packInBlocks(const std::uint8_t* data, std::size_t size) {
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_mt options{};
    options.threads = 1;
    options.block_size = 128;
    options.preset = 0;
    options.check = LZMA_CHECK_CRC64;
    if (lzma_stream_encoder_mt(&stream, &options) != LZMA_OK) std::abort();
    std::vector<std::uint8_t> packed(lzma_stream_buffer_bound(size) + size + 4096);
    stream.next_in = data;
    stream.avail_in = size;
    stream.next_out = packed.data();
    stream.avail_out = packed.size();
    if (lzma_code(&stream, LZMA_FINISH) != LZMA_STREAM_END) std::abort();
    packed.resize(packed.size() - stream.avail_out);
    lzma_end(&stream);
    return packed;
}

// `direct`: what the flat functions made of the input itself.
void throughXzBlocks(const std::uint8_t* data, std::size_t size,
                     const std::optional<std::string>& direct) {
    if (size <= 128) return;
    std::vector<std::uint8_t> packed = packInBlocks(data, size);
    writeScratch(packed.data(), packed.size());
    const std::optional<std::string> intact = throughFlatFunctions();
    // A raw image reads as itself, and so must its packed bytes: the same bids see the same bytes.
    const bool raw = direct && direct->size() == size && std::memcmp(direct->data(), data, size) == 0;
    if (raw && intact != direct) std::abort();
    // One byte between the stream's header and footer: a block, its padding or check, the index.
    std::uint32_t choice = 0;
    std::memcpy(&choice, data, sizeof choice);
    const std::size_t inner = packed.size() - 2 * LZMA_STREAM_HEADER_SIZE;
    packed[LZMA_STREAM_HEADER_SIZE + choice % inner] ^= static_cast<std::uint8_t>(1 + data[4] % 255);
    writeScratch(packed.data(), packed.size());
    throughFlatFunctions();
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
    const std::optional<std::string> direct = throughFlatFunctions();
    throughStream();
    throughXzBlocks(data, size, direct);
    return 0;
}
