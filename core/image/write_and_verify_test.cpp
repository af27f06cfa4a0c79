// writeAndVerify on regular files and on real loop devices with 512- and 4,096-byte sectors.
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/base/shell_quote.hpp"
#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "tests/test_images.hpp"

namespace korvex {
namespace {

using testing::noise;
using testing::only;
using testing::openOrThrow;
using testing::readFile;
using testing::Recorded;

constexpr std::int64_t MiB = 1048576;
constexpr const char* kMismatch = "USB verification failed. Do not use this drive to install.";
constexpr const char* kPadding = "USB padding verification failed.";

class WriteAndVerify : public ::testing::Test {
  protected:
    // The image, packed by xz when `packed`, approved as it is now.
    void makeImage(const std::string& bytes, bool packed = false) {
        testing::writeFile(image = dir.file("disk.img"), bytes);
        if (packed) testing::shell("xz -q " + shellQuote(image)), image += ".xz";
        inspection = ImageIO::inspect(image, Cancellation(), nullptr);
    }
    // The stand-in drive: `size` bytes of 0xEE, so that written zeros show.
    std::string makeTarget(std::int64_t size) {
        testing::writeFile(target, std::string(size, '\xEE'));
        return target;
    }
    // Writes onto `fd`: "ok", "cancelled" or the error; `hook` sees each event once recorded.
    std::string run(int fd, std::int64_t blockSize, ProgressCallback hook = {}) {
        const std::string failure = testing::failureOf([&] {
            ImageIO::writeAndVerify(SourceFile(image, ::getuid(), false), fd, inspection, blockSize,
                                    cancel, testing::recordInto(events, std::move(hook)));
        });
        return failure == "(no failure)" ? "ok" : failure;
    }
    // Changes `file` at the first read-back event, as a failing medium would.
    static ProgressCallback patchAtReadBack(const std::string& file, std::int64_t offset) {
        return [file, offset, done = false](const WriteEvent& e) mutable {
            if (e.stage == "verifying" && !std::exchange(done, true))
                testing::patchFile(file, offset, "\x55");
        };
    }

    testing::TempDir dir;
    std::string image, target = dir.file("target.bin");
    Cancellation cancel;
    Inspection inspection;
    std::vector<Recorded> events;
};

// Catches a padded sector not zeroed, bytes beyond the image touched, progress not per chunk.
TEST_F(WriteAndVerify, WritesPadsAndVerifiesARegularFileTarget) {
    const std::string bytes = noise(2 * MiB + 3 * 512, 2);
    makeImage(bytes, true);
    const UniqueFd fd = openOrThrow(makeTarget(4 * MiB), O_RDWR);
    ASSERT_EQ(run(fd.get(), 4096), "ok");
    const std::string written = readFile(target);
    EXPECT_TRUE(written.substr(0, bytes.size()) == bytes);
    EXPECT_EQ(written.substr(bytes.size(), 2560), std::string(2560, '\0'));
    EXPECT_EQ(written.substr(2 * MiB + 4096), std::string(2 * MiB - 4096, '\xEE'));
    const std::int64_t total = inspection.expanded;
    EXPECT_EQ(only(events, "inspecting").back(), (Recorded{"inspecting", total, total}));
    // The last 1,536 bytes fill no 4,096-byte sector: no event; their padded write has none.
    EXPECT_EQ(only(events, "writing"),
              (std::vector<Recorded>{{"writing", MiB, total}, {"writing", 2 * MiB, total}}));
    EXPECT_EQ(only(events, "verifying"), (std::vector<Recorded>{{"verifying", MiB, total},
                                                                {"verifying", 2 * MiB, total},
                                                                {"verifying", total, total}}));
}

// Catches an unapproved image written, a failure swallowed, a changed byte or padding missed.
TEST_F(WriteAndVerify, RefusesTheUnapprovedAndStopsAtTheFirstFailure) {
    const std::string bytes = noise(12 * MiB + 512, 7);
    makeImage(bytes);
    const UniqueFd fd = openOrThrow(makeTarget(13 * MiB), O_RDWR);
    for (const std::int64_t size : {0, 256, 513, 8192, -512})
        EXPECT_EQ(run(fd.get(), size), "Unsupported device sector size.") << size;
    EXPECT_TRUE(events.empty());
    const Inspection approved = inspection;
    inspection.expandedSHA256 = std::string(64, '0');
    EXPECT_EQ(run(fd.get(), 512), "Expanded image changed.");
    inspection.expanded += 512;
    inspection.expandedSHA256 = approved.expandedSHA256;
    EXPECT_EQ(run(fd.get(), 512), "Expanded image changed.");
    inspection = approved;
    testing::writeFile(image, noise(bytes.size(), 4));  // same size, other content
    EXPECT_EQ(run(fd.get(), 512), "Source image changed. Select it again.");
    EXPECT_TRUE(only(events, "writing").empty());
    EXPECT_EQ(readFile(target), std::string(13 * MiB, '\xEE'));

    makeImage(bytes);
    EXPECT_EQ(run(fd.get(), 512,
                  [](const WriteEvent& e) {
                      if (e.stage == "writing") throw ImagerError("channel closed");
                  }),
              "channel closed");
    EXPECT_EQ(only(events, "writing").size(), 1u);
    EXPECT_EQ(run(fd.get(), 4096, patchAtReadBack(target, 10 * MiB)), kMismatch);
    EXPECT_EQ(run(fd.get(), 4096, patchAtReadBack(target, 12 * MiB + 4000)), kPadding);
    EXPECT_EQ(run(openOrThrow(target, O_WRONLY).get(), 4096), "USB read-back failed.");
    EXPECT_EQ(run(openOrThrow(target, O_RDONLY).get(), 4096),
              "Writing failed. Check the connection and free space.");
    events.clear();
    EXPECT_EQ(run(fd.get(), 512,
                  [&](const WriteEvent& e) {
                      if (e.stage == "verifying") cancel.cancel();
                  }),
              "cancelled");
    EXPECT_EQ(only(events, "verifying").size(), 1u);
    EXPECT_TRUE(readFile(target).substr(0, bytes.size()) == bytes);  // fully written before
}

// Catches a read-back served from the page cache instead of the medium, O_DIRECT or not.
TEST_F(WriteAndVerify, OnALoopDeviceTheReadBackSeesTheMediumNotThePageCache) {
    KVI_REQUIRE_ROOT();
    const std::string bytes = noise(12 * MiB + 512, 10);
    makeImage(bytes);
    makeTarget(16 * MiB);
    for (const std::int64_t sector : {512, 4096}) {
        SCOPED_TRACE(sector);
        testing::LoopDevice loop(target, static_cast<unsigned>(sector));
        for (const int flags : {O_RDWR | O_EXCL | O_DIRECT, O_RDWR | O_EXCL})
            EXPECT_EQ(run(openOrThrow(loop.path(), flags).get(), sector,
                          patchAtReadBack(target, 10 * MiB + 3)),
                      kMismatch);
        const UniqueFd device = openOrThrow(loop.path(), O_RDWR | O_EXCL | O_DIRECT);
        if (sector == 4096) {
            EXPECT_EQ(run(device.get(), sector, patchAtReadBack(target, 12 * MiB + 4095)),
                      kPadding);
        }
        EXPECT_EQ(run(device.get(), sector), "ok");
        EXPECT_TRUE(readFile(target).substr(0, bytes.size()) == bytes);
    }
}

}  // namespace
}  // namespace korvex
