#include "core/image/image_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "core/base/shell_quote.hpp"
#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {

static void PrintTo(const WriteEvent& e, std::ostream* out) { *out << encode(e); }

namespace {

using testing::failureOf;
using testing::noise;
using testing::openOrThrow;
using testing::readFile;

constexpr std::int64_t MiB = 1048576;
using Events = std::vector<WriteEvent>;
constexpr const char* kMismatch = "USB verification failed. Do not use this drive to install.";
constexpr const char* kPadding = "USB padding verification failed.";

// Bytes this process has read so far, by any thread and any kind of read (pread included).
std::int64_t bytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::int64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}

// Images made by the standard tools in a private folder, their writes, and the events seen.
struct Images {
    std::string make(const std::string& name, const std::string& bytes) {
        testing::writeFile(dir.file(name), bytes);
        return dir.file(name);
    }
    std::string sh(const std::string& command) {
        return testing::shell("cd " + shellQuote(dir.path()) + " && " + command);
    }
    SourceFile open(const std::string& name) { return SourceFile(dir.file(name), getuid(), false); }
    ProgressCallback record(ProgressCallback next = {}) {
        return [this, next](const WriteEvent& e) {
            events.push_back(e);
            if (next) next(e);
        };
    }
    Events only(const std::string& stage) const {
        Events out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                     [&](const WriteEvent& e) { return e.stage == stage; });
        return out;
    }
    // The image, packed by xz when `packed`, approved as it is now; the drive, `size` bytes of 0xEE
    // so that written zeros show.
    void approve(const std::string& bytes, std::int64_t drive, bool packed = false) {
        image = make("disk.img", bytes);
        if (packed) sh("xz -q disk.img"), image += ".xz";
        inspection = ImageIO::inspect(image, Cancellation(), nullptr);
        target = make("target.bin", std::string(drive, '\xEE'));
    }
    // Writes onto `fd`: "ok", "cancelled" or the error.
    std::string run(int fd, std::int64_t blockSize, ProgressCallback hook = {}) {
        const std::string failure = failureOf([&] {
            ImageIO::writeAndVerify(SourceFile(image, getuid(), false), fd, inspection, blockSize,
                                    cancel, record(std::move(hook)));
        });
        return failure == "(no failure)" ? "ok" : failure;
    }
    // Changes the drive at the first read-back event, as a failing medium would.
    ProgressCallback patchAtReadBack(std::int64_t offset) {
        return [this, offset, done = false](const WriteEvent& e) mutable {
            if (e.stage != "verifying" || std::exchange(done, true)) return;
            EXPECT_EQ(pwrite(openOrThrow(target, O_WRONLY).get(), "\x55", 1, offset), 1);
        };
    }

    testing::TempDir dir;
    Cancellation cancel;
    Events events;
    std::string image, target;
    Inspection inspection;
};

// Catches a hash begun where the offset was left or unlike sha256sum's, progress not per chunk,
// and a hash of a file that was empty or changed size after opening (beyond the read-ahead).
TEST(ImageIO, HashFileMatchesSha256sumAndNoticesAnEmptyGrowingOrShrinkingFile) {
    Images f;
    const std::int64_t size = 3 * MiB + 1000;
    f.make("disk.img", noise(size, 1));
    const SourceFile source = f.open("disk.img");
    ASSERT_EQ(lseek(source.fd(), 12345, SEEK_SET), 12345);
    EXPECT_EQ(ImageIO::hashFile(source, f.cancel, f.record()),
              f.sh("sha256sum disk.img").substr(0, 64));
    EXPECT_EQ(f.events, (Events{{"checking", MiB, size}, {"checking", 2 * MiB, size},
                                {"checking", 3 * MiB, size}, {"checking", size, size}}));
    // -1: an empty file from the start; otherwise the size the file takes after the first chunk.
    for (const std::int64_t newSize : std::vector<std::int64_t>{-1, 12 * MiB + 512, 9 * MiB, 0}) {
        const std::string path = f.make("grown.img", newSize < 0 ? "" : noise(12 * MiB, 2));
        const auto change = [&, changed = false](const WriteEvent&) mutable {
            EXPECT_EQ(std::exchange(changed, true) ? 0 : truncate(path.c_str(), newSize), 0);
        };
        EXPECT_EQ(failureOf([&] { ImageIO::hashFile(f.open("grown.img"), f.cancel, change); }),
                  "Image changed or is empty.")
            << newSize;
    }
}

// Catches a read started after cancellation (by any operation or after a cancelling callback),
// and decoder threads of an `xz -T` file that go on expanding (or hang) after it.
TEST(ImageIO, CancellationStopsReadingAndExpandingWithinABlock) {
    Images f;
    const std::string path = f.make("disk.img", noise(8 * MiB, 8));
    f.sh("xz -0 -T2 --block-size=256KiB -c disk.img > blocks.xz");
    const SourceFile source = f.open("disk.img"), blocks = f.open("blocks.xz");
    f.cancel.cancel();
    std::int64_t before = bytesRead();
    EXPECT_EQ(failureOf([&] { ImageIO::hashFile(source, f.cancel, f.record()); }), "cancelled");
    EXPECT_EQ(failureOf([&] { ImageIO::stream(source, f.cancel, nullptr); }), "cancelled");
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(path, f.cancel, f.record()); }), "cancelled");
    EXPECT_LT(bytesRead() - before, 64 * 1024);  // no chunk of the image was read
    Cancellation later;
    EXPECT_EQ(failureOf([&] {
                  ImageIO::hashFile(source, later, f.record([&](auto&) { later.cancel(); }));
              }),
              "cancelled");
    EXPECT_EQ(f.events.size(), 1u);
    Cancellation midBlock;
    int chunks = 0;
    before = bytesRead();
    const auto cancelling = [&](std::span<const std::uint8_t>) { ++chunks, midBlock.cancel(); };
    EXPECT_EQ(failureOf([&] { ImageIO::stream(blocks, midBlock, cancelling); }), "cancelled");
    EXPECT_EQ(chunks, 1);
    // A block is a quarter MiB of the file; read ahead are a few chunks and blocks in flight.
    EXPECT_LT(bytesRead() - before, 6 * MiB);
}

// Catches an upper-case extension refused, and a digest or size taken from the other side's bytes
// when the expansion runs beside the hash or ahead of it (a ZIP behind 128 MiB of other data).
TEST(ImageIO, InspectHashesTheStoredAndTheExpandedImage) {
    Images f;
    const std::string image = noise(3 * MiB + 512, 3);
    f.make("disk.img", image);
    f.sh("gzip -c disk.img > DISK.GZ && zip -q -0 disk.zip disk.img && truncate -s 128M pre.zip "
         "&& cat disk.zip >> pre.zip && zip -q -A pre.zip 2>/dev/null");
    for (const std::string name : {"disk.img", "DISK.GZ", "pre.zip"}) {
        SCOPED_TRACE(name);
        const std::int64_t bytes = std::stoll(f.sh("stat -c %s " + name));
        EXPECT_EQ(ImageIO::inspect(f.dir.file(name), f.cancel, nullptr),
                  (Inspection{bytes, 3 * MiB + 512, f.sh("sha256sum " + name).substr(0, 64),
                              ImageIO::digest(image)}));
    }
}

// Catches an image admitted that must not be written, and a 200 GiB sparse one hashed first.
TEST(ImageIO, InspectRefusesWhatIsNoImageOfThisUser) {
    Images f;
    f.make("odd.bin", noise(1000, 10));
    f.make("disk.img", noise(MiB, 13));
    f.make("empty.img", "");
    f.sh("truncate -s 200G sparse.img && truncate -s $(( (1 << 37) + 1 )) over.iso && "
         "tar -cJf os.tar.xz disk.img && gzip -k disk.img");
    std::string gz = readFile(f.dir.file("disk.img.gz"));
    f.make("bad.gz", gz.replace(gz.size() - 8, 4, 4, '\0'));
    const std::string kinds = "Choose an IMG, BIN, hybrid ISO, ZIP, XZ or GZip image.",
                      tooLarge = "Image exceeds the supported size.";
    std::vector<std::pair<std::string, std::string>> rows = {
        {"disk.dmg", kinds}, {"img", kinds}, {"missing.Iso", "Cannot open the image file."},
        {"odd.bin", ImageIO::kNotSectorAligned}, {"sparse.img", tooLarge}, {"over.iso", tooLarge},
        {"os.tar.xz", "The image is a tar archive, not a disk image."},
        {"bad.gz", "Zlib library error: Corrupted input data (incorrect data check)"},
        {"empty.img", "Image changed or is empty."}};
    if (testing::isRoot()) {
        f.make("foreign.img", noise(512, 11));
        ASSERT_EQ(chown(f.dir.file("foreign.img").c_str(), 4242, 4242), 0);
        rows.emplace_back("foreign.img",
                          "The image must be an unlocked regular file owned by this user.");
    }
    for (const auto& [name, expected] : rows) {
        f.events.clear();
        const std::string path = f.dir.file(name);
        EXPECT_EQ(failureOf([&] { ImageIO::inspect(path, f.cancel, f.record()); }), expected);
        EXPECT_TRUE(expected != tooLarge || f.events.empty()) << name;
    }
}

// Catches a padded sector not zeroed, bytes beyond the image touched, progress not per chunk.
TEST(WriteAndVerify, WritesPadsAndVerifiesARegularFileTarget) {
    Images f;
    const std::string bytes = noise(2 * MiB + 3 * 512, 2);
    f.approve(bytes, 4 * MiB, true);
    const UniqueFd fd = openOrThrow(f.target, O_RDWR);
    ASSERT_EQ(f.run(fd.get(), 4096), "ok");
    EXPECT_TRUE(readFile(f.target) ==
                bytes + std::string(2560, '\0') + std::string(2 * MiB - 4096, '\xEE'));
    const std::int64_t total = f.inspection.expanded;
    EXPECT_EQ(f.only("inspecting").back(), (WriteEvent{"inspecting", total, total}));
    // The last 1,536 bytes fill no 4,096-byte sector: no event; their padded write has none.
    EXPECT_EQ(f.only("writing"), (Events{{"writing", MiB, total}, {"writing", 2 * MiB, total}}));
    EXPECT_EQ(f.only("verifying"), (Events{{"verifying", MiB, total}, {"verifying", 2 * MiB, total},
                                           {"verifying", total, total}}));
}

// Catches an unapproved image written, a failure swallowed, a changed byte or padding missed.
TEST(WriteAndVerify, RefusesTheUnapprovedAndStopsAtTheFirstFailure) {
    Images f;
    const std::string bytes = noise(12 * MiB + 512, 7);
    f.approve(bytes, 13 * MiB);
    const UniqueFd fd = openOrThrow(f.target, O_RDWR);
    for (const std::int64_t size : {0, 256, 513, 8192, -512})
        EXPECT_EQ(f.run(fd.get(), size), "Unsupported device sector size.") << size;
    EXPECT_TRUE(f.events.empty());
    const Inspection approved = f.inspection;
    f.inspection.expandedSHA256 = std::string(64, '0');
    EXPECT_EQ(f.run(fd.get(), 512), "Expanded image changed.");
    f.inspection.expanded += 512;
    f.inspection.expandedSHA256 = approved.expandedSHA256;
    EXPECT_EQ(f.run(fd.get(), 512), "Expanded image changed.");
    f.inspection = approved;
    testing::writeFile(f.image, noise(bytes.size(), 4));  // same size, other content
    EXPECT_EQ(f.run(fd.get(), 512), "Source image changed. Select it again.");
    EXPECT_TRUE(f.only("writing").empty());
    EXPECT_EQ(readFile(f.target), std::string(13 * MiB, '\xEE'));

    f.approve(bytes, 13 * MiB);
    EXPECT_EQ(f.run(fd.get(), 512,
                    [](const WriteEvent& e) {
                        if (e.stage == "writing") throw ImagerError("channel closed");
                    }),
              "channel closed");
    EXPECT_EQ(f.only("writing").size(), 1u);
    EXPECT_EQ(f.run(fd.get(), 4096, f.patchAtReadBack(10 * MiB)), kMismatch);
    EXPECT_EQ(f.run(fd.get(), 4096, f.patchAtReadBack(12 * MiB + 4000)), kPadding);
    EXPECT_EQ(f.run(openOrThrow(f.target, O_WRONLY).get(), 4096), "USB read-back failed.");
    EXPECT_EQ(f.run(openOrThrow(f.target, O_RDONLY).get(), 4096),
              "Writing failed. Check the connection and free space.");
    f.events.clear();
    EXPECT_EQ(f.run(fd.get(), 512,
                    [&](const WriteEvent& e) {
                        if (e.stage == "verifying") f.cancel.cancel();
                    }),
              "cancelled");
    EXPECT_EQ(f.only("verifying").size(), 1u);
    EXPECT_TRUE(readFile(f.target).substr(0, bytes.size()) == bytes);  // fully written before
}

// Catches a read-back served from the page cache instead of the medium, O_DIRECT or not.
TEST(WriteAndVerify, OnALoopDeviceTheReadBackSeesTheMediumNotThePageCache) {
    KVI_REQUIRE_ROOT();
    Images f;
    const std::string bytes = noise(12 * MiB + 512, 10);
    f.approve(bytes, 16 * MiB);
    for (const std::int64_t sector : {512, 4096}) {
        SCOPED_TRACE(sector);
        testing::LoopDevice loop(f.target, static_cast<unsigned>(sector));
        for (const int flags : {O_RDWR | O_EXCL | O_DIRECT, O_RDWR | O_EXCL})
            EXPECT_EQ(f.run(openOrThrow(loop.path(), flags).get(), sector,
                            f.patchAtReadBack(10 * MiB + 3)),
                      kMismatch);
        const UniqueFd device = openOrThrow(loop.path(), O_RDWR | O_EXCL | O_DIRECT);
        if (sector == 4096) {
            EXPECT_EQ(f.run(device.get(), sector, f.patchAtReadBack(12 * MiB + 4095)), kPadding);
        }
        EXPECT_EQ(f.run(device.get(), sector), "ok");
        EXPECT_TRUE(readFile(f.target).substr(0, bytes.size()) == bytes);
    }
}

}  // namespace
}  // namespace korvex
