// Arbitrary bytes as a stored image, and again packed as XZ in small blocks for the two-thread
// decoder: they expand (a raw image, packed, to itself) or fail with a text; never crash or hang.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

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

// One private file under $TMPDIR (or /tmp), rewritten for every input and removed at exit.
const std::string& scratchFile() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        static std::string folder = std::string(base && *base ? base : "/tmp") + "/kvi-fuzz.XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) std::abort();
        std::atexit([] {
            std::remove((folder + "/image").c_str());
            ::rmdir(folder.c_str());
        });
        return folder + "/image";
    }();
    return path;
}

void writeScratch(const std::uint8_t* data, std::size_t size) {
    FILE* file = std::fopen(scratchFile().c_str(), "wbe");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
}

// Everything the flat functions expand (up to the cut-off), or nothing when they fail; a failure
// always says why.
std::optional<std::string> throughFlatFunctions() {
    const int fd = ::open(scratchFile().c_str(), O_RDONLY | O_CLOEXEC);
    char error[1024] = "";
    kvi_archive* handle = kvi_archive_open(fd, error, sizeof error);
    std::vector<char> buffer(65536);
    std::string data;
    ssize_t n = handle ? 1 : -1;
    while (handle && data.size() < kCutOff &&
           (n = kvi_archive_read(handle, buffer.data(), buffer.size(), error, sizeof error)) > 0)
        data.append(buffer.data(), static_cast<std::size_t>(n));
    const bool finished = n == 0 && kvi_archive_finish(handle, error, sizeof error) == 1;
    if (fd < 0 || (!finished && n <= 0 && error[0] == '\0')) std::abort();
    kvi_archive_close(handle);
    ::close(fd);
    return finished ? std::optional(std::move(data)) : std::nullopt;
}

// The input packed as one XZ stream of 128-byte blocks.
std::vector<std::uint8_t> packInBlocks(const std::uint8_t* data, std::size_t size) {
    lzma_stream stream = LZMA_STREAM_INIT;
    const lzma_mt options{.threads = 1, .block_size = 128, .preset = 0, .check = LZMA_CHECK_CRC64};
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
    // A raw image reads as itself, and so must its packed bytes: the same bids see the same bytes.
    const bool raw = direct && direct->size() == size && !std::memcmp(direct->data(), data, size);
    if (raw && throughFlatFunctions() != direct) std::abort();
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
        std::size_t seen = 0;
        const korvex::StreamResult result =
            korvex::ImageIO::stream(source, korvex::Cancellation(), [&](auto chunk) {
                if ((seen += chunk.size()) > kCutOff) throw korvex::ImagerError("cut off");
            });
        if (result.expanded <= 0 || result.expanded % 512 != 0 ||
            static_cast<std::size_t>(result.expanded) != seen ||
            result.expandedSHA256.size() != 64)
            std::abort();
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
