// writeAndVerify on regular files and on real loop devices with 512- and 4,096-byte sectors.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/image/image_io.hpp"
#include "tests/test_images.hpp"
#include "core/records/imager_error.hpp"
#include "core/base/shell_quote.hpp"
#include "core/base/unique_fd.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::failureOf;
using testing::LoopDevice;
using testing::noise;
using testing::only;
using testing::openOrThrow;
using testing::patchFile;
using testing::readFile;
using testing::Recorded;
using testing::shell;
using testing::TempDir;
using testing::writeFile;

constexpr std::int64_t MiB = 1048576;
constexpr const char* kMismatch = "USB verification failed. Do not use this drive to install.";

class WriteAndVerifyTest : public ::testing::Test {
  protected:
    // An image file (compressed with `packer` unless empty) and its approved inspection.
    std::string makeImage(const std::string& bytes, const std::string& packer = "") {
        writeFile(dir.file("disk.img"), bytes);
        std::string path = dir.file("disk.img");
        if (!packer.empty()) {
            shell("cd " + shellQuote(dir.path()) + " && " + packer + " -q -k -f disk.img");
            path += packer == "gzip" ? ".gz" : packer == "zstd" ? ".zst" : ".xz";
        }
        inspection = ImageIO::inspect(path, Cancellation(), nullptr);
        return path;
    }

    // A target standing in for a drive: `size` bytes of 0xEE, so written zeros are visible.
    std::string makeTarget(std::int64_t size) {
        const std::string path = dir.file("target.bin");
        writeFile(path, std::string(static_cast<std::size_t>(size), '\xEE'));
        return path;
    }

    // Runs the write; returns "ok", "cancelled" or the error text. `hook` sees every event.
    std::string run(const std::string& image, int target, std::int64_t blockSize,
                    const std::function<void(const WriteEvent&)>& hook = nullptr) {
        const std::string failure = failureOf([&] {
            SourceFile source(image, ::getuid(), false);
            ImageIO::writeAndVerify(source, target, inspection, blockSize, cancel,
                                    [&](const WriteEvent& e) {
                                        EXPECT_FALSE(e.message.has_value());
                                        events.push_back({e.stage, e.completed, e.total});
                                        if (hook) hook(e);
                                    });
        });
        return failure == "(no failure)" ? "ok" : failure;
    }

    // True when the `stage` event with `completed` is the last of its stage.
    bool lastOf(const WriteEvent& e, const char* stage) const {
        return e.stage == stage && e.completed == inspection.expanded;
    }

    TempDir dir;
    Cancellation cancel;
    Inspection inspection;
    std::vector<Recorded> events;
};

TEST_F(WriteAndVerifyTest, RefusesOddSectorSizesBeforeReading) {
    const std::string image = makeImage(noise(4096, 1));
    const UniqueFd target = openOrThrow(makeTarget(8192), O_RDWR);
    for (const std::int64_t size : {0, 256, 513, 8192, -512}) {
        EXPECT_EQ(run(image, target.get(), size), "Unsupported device sector size.");
    }
    EXPECT_TRUE(events.empty());
}

TEST_F(WriteAndVerifyTest, WritesPadsAndVerifiesARegularFileTarget) {
    const std::string bytes = noise(2 * MiB + 3 * 512, 2);
    const std::string image = makeImage(bytes, "xz");
    const std::string targetPath = makeTarget(4 * MiB);
    const UniqueFd target = openOrThrow(targetPath, O_RDWR);
    ASSERT_EQ(run(image, target.get(), 4096), "ok");

    const std::string device = readFile(targetPath);
    EXPECT_TRUE(device.substr(0, bytes.size()) == bytes);
    EXPECT_EQ(device.substr(bytes.size(), 2560), std::string(2560, '\0'));          // padded sector
    EXPECT_EQ(device.substr(2 * MiB + 4096), std::string(2 * MiB - 4096, '\xEE'));  // untouched

    const std::int64_t total = inspection.expanded;
    EXPECT_EQ(only(events, "inspecting").back(), (Recorded{"inspecting", total, total}));
    // The last 1,536 bytes fill no 4,096-byte sector: no event; their padded write has none.
    EXPECT_EQ(only(events, "writing"),
              (std::vector<Recorded>{{"writing", MiB, total}, {"writing", 2 * MiB, total}}));
    EXPECT_EQ(only(events, "verifying"), (std::vector<Recorded>{{"verifying", MiB, total},
                                                                {"verifying", 2 * MiB, total},
                                                                {"verifying", total, total}}));
    std::vector<std::string> order;  // phases strictly in order
    for (const Recorded& e : events) {
        if (order.empty() || order.back() != e.stage) order.push_back(e.stage);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"checking", "inspecting", "writing", "verifying"}));
}

TEST_F(WriteAndVerifyTest, RefusesAnImageThatIsNoLongerTheApprovedOne) {
    const std::string image = makeImage(noise(MiB, 3));
    const std::string targetPath = makeTarget(2 * MiB);
    const UniqueFd target = openOrThrow(targetPath, O_RDWR);

    writeFile(image, noise(MiB, 4));  // replaced: same size, other content
    EXPECT_EQ(run(image, target.get(), 512), "Source image changed. Select it again.");
    EXPECT_TRUE(only(events, "writing").empty());
    EXPECT_EQ(readFile(targetPath), std::string(2 * MiB, '\xEE'));

    makeImage(noise(MiB, 5), "gzip");
    const Inspection approved = inspection;
    inspection.expandedSHA256 = std::string(64, '0');
    EXPECT_EQ(run(image + ".gz", target.get(), 512), "Expanded image changed.");
    inspection = approved;
    inspection.expanded += 512;
    EXPECT_EQ(run(image + ".gz", target.get(), 512), "Expanded image changed.");
    EXPECT_EQ(readFile(targetPath), std::string(2 * MiB, '\xEE'));
}

TEST_F(WriteAndVerifyTest, CancellationAndCallbackFailuresEndTheOperation) {
    const std::string image = makeImage(noise(6 * MiB, 6));
    const std::string targetPath = makeTarget(6 * MiB);
    const UniqueFd target = openOrThrow(targetPath, O_RDWR);
    EXPECT_EQ(run(image, target.get(), 512,
                  [&](const WriteEvent& e) {
                      if (e.stage == "writing") throw ImagerError("channel closed");
                  }),
              "channel closed");
    EXPECT_EQ(only(events, "writing").size(), 1u);

    events.clear();
    EXPECT_EQ(run(image, target.get(), 512,
                  [&](const WriteEvent& e) {
                      if (e.stage == "verifying") cancel.cancel();
                  }),
              "cancelled");
    EXPECT_EQ(only(events, "verifying").size(), 1u);
    EXPECT_TRUE(readFile(targetPath) == noise(6 * MiB, 6));  // fully written before
}

TEST_F(WriteAndVerifyTest, ReadBackCatchesChangedDataAndPaddingOnARegularFile) {
    const std::string bytes = noise(12 * MiB + 512, 7);
    const std::string image = makeImage(bytes);
    const std::string targetPath = makeTarget(13 * MiB);
    const UniqueFd target = openOrThrow(targetPath, O_RDWR);
    // At the first read-back event the reader is at most a few chunks ahead.
    auto patchAtFirstVerify = [&](std::int64_t offset) {
        return [&, offset, done = false](const WriteEvent& e) mutable {
            if (e.stage == "verifying" && !done) patchFile(targetPath, offset, "\x01");
            done = done || e.stage == "verifying";
        };
    };
    EXPECT_EQ(run(image, target.get(), 4096, patchAtFirstVerify(10 * MiB)), kMismatch);
    EXPECT_EQ(run(image, target.get(), 4096, patchAtFirstVerify(12 * MiB + 4000)),
              "USB padding verification failed.");
    EXPECT_EQ(run(image, target.get(), 4096), "ok");

    const UniqueFd writeOnly = openOrThrow(targetPath, O_WRONLY);
    EXPECT_EQ(run(image, writeOnly.get(), 4096), "USB read-back failed.");
}

// Loop devices: the same drive semantics as a USB stick, opened the way the writer opens one.
class LoopWriteTest : public WriteAndVerifyTest {
  protected:
    static constexpr int kDirect = O_RDWR | O_EXCL | O_DIRECT;
};

TEST_F(LoopWriteTest, ThreeSectorsOnA4096ByteDeviceArePaddedAndChecked) {
    KVI_REQUIRE_ROOT();
    const std::string bytes = noise(3 * 512, 8);
    const std::string image = makeImage(bytes, "gzip");
    const std::string backing = makeTarget(MiB);
    LoopDevice loop(backing, 4096);
    {
        const UniqueFd device = openOrThrow(loop.path(), kDirect);
        ASSERT_EQ(run(image, device.get(), 4096), "ok");
    }
    const std::string stored = readFile(backing);
    EXPECT_TRUE(stored.substr(0, 1536) == bytes);
    EXPECT_EQ(stored.substr(1536, 2560), std::string(2560, '\0'));
    EXPECT_EQ(stored.substr(4096), std::string(MiB - 4096, '\xEE'));
    EXPECT_TRUE(only(events, "writing").empty());
    EXPECT_EQ(only(events, "verifying"), (std::vector<Recorded>{{"verifying", 1536, 1536}}));
}

TEST_F(LoopWriteTest, ExactlyOneMebibyteOnA512ByteDevice) {
    KVI_REQUIRE_ROOT();
    const std::string bytes = noise(MiB, 9);
    for (const char* packer : {"xz", "zstd"}) {
        SCOPED_TRACE(packer);
        events.clear();
        const std::string image = makeImage(bytes, packer);
        const std::string backing = makeTarget(2 * MiB);
        LoopDevice loop(backing, 512);
        {
            const UniqueFd device = openOrThrow(loop.path(), kDirect);
            ASSERT_EQ(run(image, device.get(), 512), "ok");
        }
        EXPECT_TRUE(readFile(backing).substr(0, MiB) == bytes);
        EXPECT_EQ(readFile(backing).substr(MiB), std::string(MiB, '\xEE'));
        EXPECT_EQ(only(events, "writing"), (std::vector<Recorded>{{"writing", MiB, MiB}}));
        EXPECT_EQ(only(events, "verifying"), (std::vector<Recorded>{{"verifying", MiB, MiB}}));
    }
}

TEST_F(LoopWriteTest, ReadBackSeesTheDeviceNotThePageCache) {
    KVI_REQUIRE_ROOT();
    const std::string bytes = noise(12 * MiB + 512, 10);
    const std::string image = makeImage(bytes);
    const std::string backing = makeTarget(16 * MiB);
    for (const std::int64_t sector : {512, 4096}) {
        SCOPED_TRACE(sector);
        LoopDevice loop(backing, static_cast<unsigned>(sector));
        {
            // Changed behind the device after the last write, as a failing medium would.
            const UniqueFd device = openOrThrow(loop.path(), kDirect);
            EXPECT_EQ(run(image, device.get(), sector,
                          [&](const WriteEvent& e) {
                              if (lastOf(e, "writing") || (sector == 4096 && e.stage == "writing" &&
                                                           e.completed == 12 * MiB)) {
                                  patchFile(backing, 5 * MiB + 7, "\x55\xAA");
                              }
                          }),
                      kMismatch);
        }
        {
            // Opened without O_DIRECT, the writes leave the device's page cache full of the
            // right bytes; the read-back must still meet the changed medium.
            const UniqueFd device = openOrThrow(loop.path(), O_RDWR | O_EXCL);
            bool patched = false;
            EXPECT_EQ(run(image, device.get(), sector,
                          [&](const WriteEvent& e) {
                              if (e.stage == "verifying" && !patched) {
                                  patchFile(backing, 10 * MiB + 3, "\x55");
                                  patched = true;
                              }
                          }),
                      kMismatch);
        }
        if (sector == 4096) {
            const UniqueFd device = openOrThrow(loop.path(), kDirect);
            bool patched = false;
            EXPECT_EQ(run(image, device.get(), sector,
                          [&](const WriteEvent& e) {
                              if (e.stage == "verifying" && !patched) {
                                  patchFile(backing, 12 * MiB + 4095, "\x01");
                                  patched = true;
                              }
                          }),
                      "USB padding verification failed.");
        }
        {
            const UniqueFd device = openOrThrow(loop.path(), kDirect);
            EXPECT_EQ(run(image, device.get(), sector), "ok");
        }
        EXPECT_TRUE(readFile(backing).substr(0, bytes.size()) == bytes);
    }
}

TEST_F(LoopWriteTest, ReplacedSourceAndCancelledReadBackOnADevice) {
    KVI_REQUIRE_ROOT();
    const std::string image = makeImage(noise(4 * MiB, 11), "gzip");
    const std::string backing = makeTarget(8 * MiB);
    LoopDevice loop(backing, 4096);
    const UniqueFd device = openOrThrow(loop.path(), kDirect);
    EXPECT_EQ(run(image, device.get(), 4096,
                  [&](const WriteEvent& e) {
                      if (e.stage == "verifying") cancel.cancel();
                  }),
              "cancelled");
    EXPECT_TRUE(readFile(backing).substr(0, 4 * MiB) == noise(4 * MiB, 11));

    const Inspection approved = inspection;
    makeImage(noise(4 * MiB, 12), "gzip");
    inspection = approved;
    writeFile(backing, std::string(8 * MiB, '\xEE'));
    Cancellation fresh;
    SourceFile source(image, ::getuid(), false);
    EXPECT_EQ(failureOf([&] {
                  ImageIO::writeAndVerify(source, device.get(), inspection, 4096, fresh, nullptr);
              }),
              "Source image changed. Select it again.");
    EXPECT_EQ(readFile(backing), std::string(8 * MiB, '\xEE'));
}

}  // namespace
}  // namespace korvex
