#include "core/native/archive_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/image/image_io.hpp"
#include "core/native/archive.h"
#include "core/native/xz_source.hpp"
#include "core/base/shell_quote.hpp"
#include "core/base/unique_fd.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::noise;
using testing::openOrThrow;

// What the flat interface made of a file, in the order the callers use it.
struct Outcome {
    bool opened = false;
    std::string data;
    bool readFailed = false;
    bool finished = false;
    std::string error;
};

Outcome readThroughFlat(const std::string& path, std::size_t chunk = 1 << 20) {
    const UniqueFd fd = openOrThrow(path, O_RDONLY);
    std::array<char, 1024> error{};
    kvi_archive* handle = kvi_archive_open(fd.get(), error.data(), error.size());
    Outcome out{.opened = handle != nullptr};
    std::string buffer(chunk, '\0');
    ssize_t n = 1;
    while (handle && (n = kvi_archive_read(handle, buffer.data(), buffer.size(), error.data(),
                                           error.size())) > 0)
        out.data.append(buffer.data(), static_cast<std::size_t>(n));
    out.readFailed = n < 0;
    out.finished = n == 0 && kvi_archive_finish(handle, error.data(), error.size()) == 1;
    if (!out.finished) out.error = error.data();
    kvi_archive_close(handle);
    return out;
}

class ArchiveReader : public ::testing::Test {
  protected:
    void make(const std::string& name, const std::string& bytes) {
        testing::writeFile(dir.file(name), bytes);
    }
    std::string sh(const std::string& command) {
        return testing::shell("cd " + shellQuote(dir.path()) + " && " + command);
    }
    // What `name` expands to through the flat interface, or "failed: " and the error.
    std::string expand(const std::string& name, std::size_t chunk = 1 << 20) {
        const Outcome out = readThroughFlat(dir.file(name), chunk);
        return out.finished ? out.data : "failed: " + out.error;
    }

    testing::TempDir dir;
};

// Compressible but not trivially so, so that LZMA codes it (noise would be stored as it is).
std::string text(std::size_t size) {
    std::string out;
    for (unsigned i = 0; out.size() < size; ++i) out += "sector " + std::to_string(i * i % 99991) + "\n";
    out.resize(size);
    return out;
}

// Who expands which block of the last source made: c the caller, w the worker.
std::string gPlan;
void recordPlan(const std::vector<bool>& byWorker) {
    gPlan.clear();
    for (const bool worker : byWorker) gPlan += worker ? 'w' : 'c';
}

// Catches the two decoders' blocks lost or misordered, checks or padding between streams misread,
// unsuitable files (one block, blocks beyond the memory bound) taken anyway, and blocks of very
// unequal cost split by strict turns (the caller idle while the worker expands a heavy block).
TEST_F(ArchiveReader, XzOfSeveralBlocksExpandsLikeXzWhicheverDecoderTakesIt) {
    make("disk.img", noise(512 * 1024, 30) + text(2 * 1048576 + 1536));  // stored and packed chunks
    // -0 packs quickly; the last two keep -6's 8 MiB dictionary, which counts against the bound.
    sh("xz -0 -T2 --block-size=300KiB -c disk.img > blocks.xz && xz -0 -c disk.img > single.xz && "
       "xz -0 -T2 --block-size=1MiB -C sha256 -c disk.img > sha.xz && "
       "xz -0 -T2 --block-size=700KiB -C none -c disk.img > none.xz && xz -c /dev/null > empty.xz && "
       "cat single.xz blocks.xz > concatenated.xz && cat blocks.xz single.xz > last-single.xz && "
       "cp blocks.xz padded.xz && head -c 8 /dev/zero >> padded.xz && "
       "cat empty.xz sha.xz > mixed.xz && head -c 4 /dev/zero >> mixed.xz && "
       "cat none.xz empty.xz blocks.xz >> mixed.xz && "
       "cat disk.img disk.img disk.img disk.img disk.img | xz -0 -T2 --block-size=3MiB > wide.xz && "
       "head -c 25M /dev/zero | xz -T2 --block-size=24MiB > large-blocks.xz && "
       "head -c 27M /dev/zero | xz -T2 --block-size=26MiB > too-large-blocks.xz && "
       "xz -0 --block-list=64KiB,64KiB,0 -c disk.img > uneven.xz");
    imager::XzSource::planHook = recordPlan;
    const struct {
        const char* name;
        bool taken;  // by XzSource rather than libarchive
        const char* plan = nullptr;
    } kCases[] = {{"uneven.xz", true, "ccw"},  // two light blocks streamed beside a heavy one
                  {"blocks.xz", true},          {"padded.xz", true},
                  {"concatenated.xz", true},    {"last-single.xz", true},
                  {"mixed.xz", true},           {"large-blocks.xz", true},
                  {"wide.xz", true},  // blocks of several slices, filled behind the ones out
                  {"single.xz", false},         {"too-large-blocks.xz", false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const UniqueFd fd = openOrThrow(dir.file(c.name), O_RDONLY);
        EXPECT_EQ(imager::XzSource::ForFile(fd.get()) != nullptr, c.taken);
        if (c.plan != nullptr) {
            EXPECT_EQ(gPlan, c.plan);
        }
        EXPECT_TRUE(expand(c.name, 100000) == sh("xz -dc " + std::string(c.name)));
        const SourceFile source(dir.file(c.name), std::nullopt, false);
        const StreamResult streamed = ImageIO::stream(source, Cancellation(), [](auto) {});
        EXPECT_EQ(streamed.expandedSHA256 + "  -\n", sh("xz -dc " + std::string(c.name) + " | sha256sum"));
    }
    imager::XzSource::planHook = nullptr;
}

// The pieces the caller expanded ahead and those the worker began, in the case at hand.
std::atomic<int> gAheadPieces{0};
std::atomic<int> gWorkerPieces{0};

// Catches a later block's fault reported before earlier blocks are out (also when the caller met it
// expanding ahead while the worker's block was still coming), a fault passed over, a broken
// layout failing in other words than libarchive's; none may hang.
TEST_F(ArchiveReader, DamagedXzOfSeveralBlocksFailsInTurnWithLibarchivesWords) {
    // Blocks of 2 MiB; the third, of noise, is the heavy one: the caller streams two beside it.
    const std::string image = text(4 * 1048576) + noise(2 * 1048576, 5) + text(4 * 1048576);
    make("disk.img", image);
    sh("xz -0 -T2 --block-size=2MiB -c disk.img > blocks.xz");
    imager::XzSource::planHook = recordPlan;
    ASSERT_NE(imager::XzSource::ForFile(openOrThrow(dir.file("blocks.xz"), O_RDONLY).get()), nullptr);
    imager::XzSource::planHook = nullptr;
    EXPECT_EQ(gPlan, "ccwcw");
    // The worker holds its first block half expanded until the caller has begun the next ahead.
    imager::XzSource::pieceHook = [](const std::atomic<bool>& stopping) {
        if (++gWorkerPieces == 2)
            while (!stopping && gAheadPieces == 0) std::this_thread::yield();
    };
    imager::XzSource::aheadHook = [] { ++gAheadPieces; };
    const std::string blocks = testing::readFile(dir.file("blocks.xz"));
    // Each block's offset and total size, from xz's own listing.
    std::istringstream listing(sh("xz --robot -lvv blocks.xz | awk '$1==\"block\"{print $5, $7}'"));
    std::vector<std::pair<std::size_t, std::size_t>> at;
    for (std::size_t offset = 0, size = 0; listing >> offset >> size;) at.emplace_back(offset, size);
    ASSERT_EQ(at.size(), 5u);
    auto flipped = [&](std::size_t block) {
        std::string bytes = blocks;
        bytes[at[block].first + at[block].second / 2] ^= 0x21;
        return bytes;
    };
    const std::string corrupt = "Lzma library error: Corrupted input data";
    const struct {
        const char* name;
        std::string bytes;
        int blocksBefore;  // handed out whole before the failure; -1: libarchive's turn, any
        std::string error;
    } kCases[] = {
        {"first.xz", flipped(0), 0, corrupt},  // the caller's
        {"second.xz", flipped(1), 1, corrupt},  // the caller's, the worker ahead of it
        {"third.xz", flipped(2), 2, corrupt},  // the worker's, met while the caller streams two
        {"fourth.xz", flipped(3), 3, corrupt},  // the caller's, begun ahead
        {"fifth.xz", flipped(4), 4, corrupt},  // the worker's
        {"hole.xz", std::string(blocks).erase(blocks.size() / 3, 7000), -1, corrupt},
        {"index.xz", std::string(blocks).replace(blocks.size() - 20, 1, 1, '\x7f'), -1, corrupt},
        {"cut.xz", blocks.substr(0, blocks.size() / 2), -1,
         "Lzma library error:  No progress is possible"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        make(c.name, c.bytes);
        gAheadPieces = gWorkerPieces = 0;
        const Outcome out = readThroughFlat(dir.file(c.name), 65536);
        EXPECT_TRUE(out.readFailed) << out.error;
        EXPECT_EQ(out.error, c.error);
        if (c.blocksBefore < 0) continue;
        EXPECT_EQ(gAheadPieces != 0, c.blocksBefore >= 2);
        // The blocks before the damaged one whole, of it at most what it expanded to.
        const std::size_t before = static_cast<std::size_t>(c.blocksBefore) << 21;
        ASSERT_GE(out.data.size(), before);
        EXPECT_LE(out.data.size(), before + 2 * 1048576);
        EXPECT_TRUE(out.data.substr(0, before) == image.substr(0, before));
    }
    imager::XzSource::pieceHook = nullptr;
    imager::XzSource::aheadHook = nullptr;
}

// Catches a worker that expands its block to the end (or hangs) once its source is destroyed.
std::atomic<int> gPieces{0};
std::atomic<int> gPiecesAfterStop{0};
std::atomic<bool> gMidBlock{false};

TEST_F(ArchiveReader, DestroyingTheXzSourceStopsItsWorkerWithinABlock) {
    gPieces = gPiecesAfterStop = 0;  // and the test runs again as the first time
    gMidBlock = false;
    make("disk.img", text(8 * 1048576));
    sh("xz -0 -T2 --block-size=4MiB -c disk.img > blocks.xz");
    const UniqueFd fd = openOrThrow(dir.file("blocks.xz"), O_RDONLY);
    ASSERT_NE(imager::XzSource::ForFile(fd.get()), nullptr);
    imager::XzSource::pieceHook = [](const std::atomic<bool>& stopping) {
        if (stopping) ++gPiecesAfterStop;
        if (++gPieces == 2) {  // the worker is inside the second block: hold it there until told
            gMidBlock = true;
            gMidBlock.notify_all();
            while (!stopping) std::this_thread::yield();
        }
    };
    std::array<char, 1024> error{};
    kvi_archive* handle = kvi_archive_open(fd.get(), error.data(), error.size());
    ASSERT_NE(handle, nullptr) << error.data();
    gMidBlock.wait(false);
    kvi_archive_close(handle);
    imager::XzSource::pieceHook = nullptr;
    EXPECT_EQ(gPieces.load(), 2);
    EXPECT_EQ(gPiecesAfterStop.load(), 0);
}

// Catches a raw, GZip, XZ or Zstandard image refused, misread or judged by its name, a tar stream
// taken for the image however packed (a wrong checksum makes it data), a ZIP directory, a second
// file or none accepted, an empty image refused.
TEST_F(ArchiveReader, TakesTheOneImageWhateverItsNameAndRefusesTarAtOpening) {
    const std::string image = noise(3 * 1048576 + 4096, 1);
    make("disk.img", image);
    make("other.img", noise(5000, 4));
    make("empty.img", "");
    sh("tar -cf disk.tar disk.img && tar --format=posix -czf disk.tgz.img disk.img && "
       "tar -cJf disk.tar.xz disk.img && tar --zstd -cf disk.tar.zst disk.img && "
       "cp disk.tar inner.img && zip -q disk.zip inner.img && mkdir -p docs/empty && "
       "zip -q -r -0 with-dir.zip docs/empty disk.img && "
       "zip -q two.zip disk.img other.img && zip -q -r dirs.zip docs/empty && "
       "zip -q deflated.zip disk.img && zip -q -r trailing-dir.zip disk.img docs/empty && "
       "gzip -k disk.img empty.img && xz -k disk.img empty.img && zstd -q -k disk.img empty.img && "
       "cp disk.img.gz packed.img && cp disk.img plain.xz && cp disk.img.zst packed.bin");
    std::string tar = testing::readFile(dir.file("disk.tar"));
    tar[0] = static_cast<char>(tar[0] ^ 1);  // the name changes, the recorded checksum does not
    make("almost.img", tar);
    const std::string isTar = "failed: The image is a tar archive, not a disk image.";
    const std::pair<const char*, std::string> kCases[] = {
        {"disk.img", image}, {"disk.img.gz", image}, {"disk.img.xz", image},
        {"disk.img.zst", image}, {"packed.img", image}, {"plain.xz", image}, {"packed.bin", image},
        {"disk.tar", isTar}, {"disk.tgz.img", isTar}, {"disk.tar.xz", isTar},
        {"disk.tar.zst", isTar}, {"disk.zip", isTar},
        {"dirs.zip", "failed: The image archive does not contain a regular file."},
        {"almost.img", tar}, {"with-dir.zip", image}, {"deflated.zip", image},
        {"trailing-dir.zip", image}, {"empty.img", ""}, {"empty.img.gz", ""},
        {"empty.img.xz", ""}, {"empty.img.zst", ""}};
    for (const auto& [name, expected] : kCases) {
        EXPECT_TRUE(expand(name, 1000) == expected) << name;  // odd reads span blocks
        const bool refused = expected.starts_with("failed: ");  // at opening, before any byte
        EXPECT_TRUE(!refused || !readThroughFlat(dir.file(name)).opened) << name;
    }
    const Outcome two = readThroughFlat(dir.file("two.zip"));  // only finishing refuses the second
    EXPECT_TRUE(!two.readFailed && two.data == image);
    EXPECT_EQ(two.error, "The image archive contains more than one regular file.");
}

// Catches a corrupt .gz accepted (trailers unchecked, a member or trailing bytes dropped), XZ, ZIP
// or Zstandard damage passed over or reported without the library's words, a cut file taken.
TEST_F(ArchiveReader, CorruptOrTruncatedStreamsFailWhileExpanding) {
    const std::string image = noise(2 * 1048576, 5);
    const std::string second = noise(512 * 3, 7);
    make("disk.img", image);
    make("second.img", second);
    // Noise does not compress, so gzip and zip store it: a flipped byte changes only the data.
    sh("xz -k disk.img && gzip -k disk.img && gzip -c second.img > second.gz && "
       "cat disk.img.gz second.gz > multi.gz && zip -q -0 disk.zip disk.img && "
       "zstd -q -k disk.img && zstd -q -c second.img > second.zst && "
       "cat disk.img.zst second.zst > multi.zst");
    auto read = [&](const char* name) { return testing::readFile(dir.file(name)); };
    const std::string gz = read("disk.img.gz"), xz = read("disk.img.xz"), zip = read("disk.zip"),
                      multi = read("multi.gz"), zst = read("disk.img.zst");
    auto flipped = [](std::string bytes, std::size_t at, std::size_t count = 4) {
        for (std::size_t i = at; i < at + count; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
        return bytes;
    };
    auto zeroed = [](std::string bytes, std::size_t at) { return bytes.replace(at, 4, 4, '\0'); };

    const std::string corrupt = "Zlib library error: Corrupted input data";
    const struct {
        const char* name;
        std::string bytes;
        std::string error;  // what the failure starts with; empty: any text of the library
    } kCases[] = {
        {"data.gz", flipped(gz, gz.size() / 2), corrupt + " (incorrect data check)"},
        {"crc.gz", zeroed(gz, gz.size() - 8), corrupt + " (incorrect data check)"},
        {"isize.gz", flipped(gz, gz.size() - 4, 1), corrupt + " (incorrect length check)"},
        {"first-member.gz", flipped(multi, gz.size() - 8, 1), corrupt + " (incorrect data check)"},
        {"second-member.gz", flipped(multi, multi.size() - 2, 1), corrupt},
        {"trailing.gz", gz + std::string(700, '\0') + "x", corrupt},
        {"cut.gz", gz.substr(0, gz.size() - 3), "truncated gzip input"},
        {"head.gz", gz.substr(0, 24), ""}, {"head.xz", xz.substr(0, 24), ""},
        {"head.zst", zst.substr(0, 24), ""},
        {"cut.xz", xz.substr(0, xz.size() / 2), ""},
        {"data.xz", flipped(xz, xz.size() / 2), "Lzma library error: Corrupted input data"},
        {"data.zip", flipped(zip, zip.size() / 2), ""},
        // Noise is stored raw in a frame: only the frame's content checksum catches this.
        {"data.zst", flipped(zst, zst.size() / 2), "Zstd decompression failed"},
        {"checksum.zst", flipped(zst, zst.size() - 2, 1), "Zstd decompression failed"},
        {"cut.zst", zst.substr(0, zst.size() / 2), ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        make(c.name, c.bytes);
        const Outcome out = readThroughFlat(dir.file(c.name));
        EXPECT_FALSE(out.finished);
        EXPECT_TRUE(out.readFailed || !out.opened) << "failed only at the end: " << out.error;
        EXPECT_EQ(out.error.substr(0, c.error.size()), c.error);
        EXPECT_TRUE(out.error != imager::kCannotExtract && !out.error.empty()) << out.error;
    }
    // The controls: every member is expanded, and zeros after the last one are padding.
    make("padded.gz", multi + std::string(3000, '\0'));
    for (const char* name : {"multi.gz", "padded.gz", "multi.zst"})
        EXPECT_TRUE(expand(name, 777) == image + second) << name;
    // A GZip stream that only libarchive's unchecked filter would reach is refused.
    sh("xz -c disk.img.gz > nested.gz.xz");
    EXPECT_EQ(expand("nested.gz.xz"),
              "failed: The image is a GZip file inside another compressed file.");
}

// Catches a trailer read from the wrong bytes when it straddles two 1 MiB input blocks.
TEST_F(ArchiveReader, TrailersStraddlingInputBlocksAreChecked) {
    constexpr std::size_t kBlock = 1 << 20;
    for (std::size_t past : {1, 3, 7}) {
        SCOPED_TRACE(past);
        // Noise is stored, so a few tries put exactly `past` trailer bytes into the second block.
        std::string image, gz;
        std::size_t length = kBlock - 100;
        for (int attempt = 0; attempt < 8 && gz.size() != kBlock + past; ++attempt) {
            if (!gz.empty()) length += kBlock + past - gz.size();
            image = noise(length, 20 + static_cast<int>(past));
            make("disk.img", image);
            sh("gzip -n -c disk.img > disk.gz");
            gz = testing::readFile(dir.file("disk.gz"));
        }
        ASSERT_EQ(gz.size(), kBlock + past);
        EXPECT_TRUE(expand("disk.gz") == image);
        gz[gz.size() - 8] = static_cast<char>(gz[gz.size() - 8] ^ 1);
        make("bad.gz", gz);
        EXPECT_EQ(expand("bad.gz"),
                  "failed: Zlib library error: Corrupted input data (incorrect data check)");
    }
}

// Catches an error buffer overrun or written when empty, a missing handle dereferenced, a read
// larger than a read can report accepted.
TEST_F(ArchiveReader, FlatInterfaceChecksBuffersAndReadiness) {
    make("disk.img", noise(4096, 6));
    sh("mkdir -p dirs-only/empty && zip -q -r dirs.zip dirs-only");
    const UniqueFd dirs = openOrThrow(dir.file("dirs.zip"), O_RDONLY),
                   raw = openOrThrow(dir.file("disk.img"), O_RDONLY);
    char untouched[8] = "xxxxxxx", small[11];
    EXPECT_EQ(kvi_archive_open(dirs.get(), untouched, 0), nullptr);
    EXPECT_STREQ(untouched, "xxxxxxx");
    ASSERT_EQ(::lseek(dirs.get(), 0, SEEK_SET), 0);
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(kvi_archive_open(dirs.get(), small, sizeof small), nullptr);
    EXPECT_STREQ(small, "The image ");  // ten characters and the terminator
    char text[1024] = "", byte = 0;
    EXPECT_LT(kvi_archive_read(nullptr, &byte, 1, text, sizeof text), 0);
    EXPECT_STREQ(text, imager::kReaderNotReady);
    EXPECT_EQ(kvi_archive_finish(nullptr, text, sizeof text), 0);
    kvi_archive_close(nullptr);
    kvi_archive* handle = kvi_archive_open(raw.get(), text, sizeof text);
    ASSERT_NE(handle, nullptr) << text;
    EXPECT_LT(kvi_archive_read(handle, &byte, static_cast<std::size_t>(-1), text, sizeof text), 0);
    kvi_archive_close(handle);
}

}  // namespace
}  // namespace korvex
