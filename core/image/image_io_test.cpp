// Hashing, streaming and inspection of real files against sha256sum, gzip, xz and zip.
#include "core/image/image_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_images.hpp"
#include "core/records/imager_error.hpp"
#include "core/base/shell_quote.hpp"
#include "core/base/unique_fd.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::failureOf;
using testing::noise;
using testing::openOrThrow;
using testing::Recorded;
using testing::shell;
using testing::TempDir;
using testing::writeFile;

constexpr std::int64_t MiB = 1048576;

std::string sha256sum(const std::string& path) {
    return shell("sha256sum " + shellQuote(path)).substr(0, 64);
}

class ImageIOTest : public ::testing::Test {
  protected:
    std::string make(const std::string& name, const std::string& bytes) {
        writeFile(dir.file(name), bytes);
        return dir.file(name);
    }
    void sh(const std::string& command) {
        shell("cd " + shellQuote(dir.path()) + " && " + command);
    }
    ProgressCallback recorder() {
        return [this](const WriteEvent& e) {
            EXPECT_FALSE(e.message.has_value());
            events.push_back({e.stage, e.completed, e.total});
        };
    }

    TempDir dir;
    Cancellation cancel;
    std::vector<Recorded> events;
};

TEST(ImageIOTextTest, HashTextIsLowerCaseHex) {
    EXPECT_EQ(ImageIO::digest(std::string_view()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(ImageIO::digest(std::string_view("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::uint8_t bytes[] = {0x00, 0xff, 0x0a, 0xB7};
    EXPECT_EQ(ImageIO::hex(bytes), "00ff0ab7");
}

TEST_F(ImageIOTest, HashFileMatchesSha256sumWithOneEventPerChunk) {
    const std::string path = make("disk.img", noise(3 * MiB + 1000, 1));
    SourceFile source(path, ::getuid(), false);
    ASSERT_EQ(::lseek(source.fd(), 12345, SEEK_SET), 12345);  // rewound first
    EXPECT_EQ(ImageIO::hashFile(source, cancel, recorder()), sha256sum(path));
    const std::int64_t size = 3 * MiB + 1000;
    EXPECT_EQ(events, (std::vector<Recorded>{{"checking", MiB, size},
                                             {"checking", 2 * MiB, size},
                                             {"checking", 3 * MiB, size},
                                             {"checking", size, size}}));
    EXPECT_EQ(ImageIO::hashFile(source, cancel, nullptr), sha256sum(path));  // again, no callback
}

TEST_F(ImageIOTest, HashFileNoticesEmptyGrowingAndShrinkingFiles) {
    SourceFile empty(make("empty.img", ""), ::getuid(), false);
    EXPECT_EQ(failureOf([&] { ImageIO::hashFile(empty, cancel, nullptr); }),
              "Image changed or is empty.");

    // Changed at the first event: well beyond what has been read ahead by then.
    const std::string path = make("disk.img", noise(12 * MiB, 2));
    for (const std::int64_t newSize : {12 * MiB + 512, 9 * MiB, std::int64_t{0}}) {
        SCOPED_TRACE(newSize);
        writeFile(path, noise(12 * MiB, 2));
        SourceFile source(path, ::getuid(), false);
        bool changed = false;
        const std::string error = failureOf([&] {
            ImageIO::hashFile(source, cancel, [&](const WriteEvent&) {
                if (!changed) {
                    ASSERT_EQ(::truncate(path.c_str(), newSize), 0);
                }
                changed = true;
            });
        });
        EXPECT_EQ(error, "Image changed or is empty.");
    }
}

TEST_F(ImageIOTest, StreamExpandsAndEnforcesSectorAlignment) {
    const std::string image = noise(MiB, 3);
    make("disk.img", image);
    sh("gzip -k disk.img");
    SourceFile gz(dir.file("disk.img.gz"), ::getuid(), false);
    std::string consumed;
    const StreamResult result = ImageIO::stream(gz, cancel, [&](std::span<const std::uint8_t> c) {
        consumed.append(reinterpret_cast<const char*>(c.data()), c.size());
    });
    EXPECT_EQ(result.expanded, MiB);
    EXPECT_EQ(result.expandedSHA256, sha256sum(dir.file("disk.img")));
    EXPECT_TRUE(consumed == image);

    for (const std::size_t size : {std::size_t{1000}, std::size_t{0}, std::size_t{513}}) {
        SourceFile odd(make("odd.img", noise(size, 4)), ::getuid(), false);
        EXPECT_EQ(failureOf([&] { ImageIO::stream(odd, cancel, nullptr); }),
                  "The image is empty or is not a sector-aligned disk image.");
    }
    SourceFile even(make("even.img", noise(1024, 4)), ::getuid(), false);
    EXPECT_EQ(ImageIO::stream(even, cancel, nullptr).expanded, 1024);
}

TEST_F(ImageIOTest, StreamPassesReaderTextsAndConsumerFailures) {
    make("a.img", noise(2048, 5));
    make("b.img", noise(2048, 6));
    sh("zip -q two.zip a.img b.img");
    SourceFile two(dir.file("two.zip"), ::getuid(), false);
    EXPECT_EQ(failureOf([&] { ImageIO::stream(two, cancel, nullptr); }),
              "The image archive contains more than one regular file.");

    SourceFile big(make("big.img", noise(5 * MiB, 7)), ::getuid(), false);
    int calls = 0;
    EXPECT_EQ(failureOf([&] {
                  ImageIO::stream(big, cancel, [&](std::span<const std::uint8_t>) {
                      if (++calls == 2) throw ImagerError("consumer gave up");
                  });
              }),
              "consumer gave up");
    EXPECT_EQ(calls, 2);
}

TEST_F(ImageIOTest, CancellationStopsBeforeTheNextRead) {
    const std::string path = make("disk.img", noise(8 * MiB, 8));
    SourceFile source(path, ::getuid(), false);
    cancel.cancel();
    ASSERT_EQ(::lseek(source.fd(), 0, SEEK_SET), 0);
    EXPECT_EQ(failureOf([&] { ImageIO::hashFile(source, cancel, recorder()); }), "cancelled");
    EXPECT_EQ(failureOf([&] { ImageIO::stream(source, cancel, nullptr); }), "cancelled");
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(path, cancel, recorder()); }), "cancelled");
    EXPECT_EQ(::lseek(source.fd(), 0, SEEK_CUR), 0);  // nothing was read
    EXPECT_TRUE(events.empty());

    Cancellation later;
    EXPECT_EQ(failureOf([&] {
                  ImageIO::hashFile(source, later, [&](const WriteEvent& e) {
                      events.push_back({e.stage, e.completed, e.total});
                      later.cancel();
                  });
              }),
              "cancelled");
    EXPECT_EQ(events.size(), 1u);
}

// Catches a cancelled stream whose decoder threads go on expanding the rest of an `xz -T` file
// (or hang on their way out): the stored file is read little past the block being expanded.
TEST_F(ImageIOTest, CancellationStopsAMultiThreadedExpansionWithinABlock) {
    make("disk.img", noise(8 * MiB, 14));
    sh("xz -0 -T2 --block-size=256KiB -c disk.img > blocks.xz");
    SourceFile source(dir.file("blocks.xz"), ::getuid(), false);
    int chunks = 0;
    EXPECT_EQ(failureOf([&] {
                  ImageIO::stream(source, cancel, [&](std::span<const std::uint8_t>) {
                      ++chunks;
                      cancel.cancel();
                  });
              }),
              "cancelled");
    EXPECT_EQ(chunks, 1);
    // Noise is stored as it is: a block is a quarter MiB of the file. Read ahead are the pipeline's
    // chunks and the decoder's blocks in flight, a few of each.
    EXPECT_LT(::lseek(source.fd(), 0, SEEK_CUR), 6 * MiB) << ::lseek(source.fd(), 0, SEEK_CUR);
}

TEST_F(ImageIOTest, InspectReportsStoredAndExpandedFacts) {
    const std::string image = noise(2 * MiB + 512, 9);
    make("disk.img", image);
    sh("gzip -k disk.img && xz -k disk.img && zip -q disk.zip disk.img && cp disk.img.xz XZ.IMG && "
       "zstd -q -k disk.img && cp disk.img.zst DISK.ZST && "
       "xz -T2 --block-size=300KiB -c disk.img > blocks.xz");
    const std::string expandedHash = sha256sum(dir.file("disk.img"));

    const Inspection raw = ImageIO::inspect(dir.file("disk.img"), cancel, nullptr);
    EXPECT_EQ(raw, (Inspection{2 * MiB + 512, 2 * MiB + 512, expandedHash, expandedHash}));

    for (const char* name :
         {"disk.img.gz", "disk.img.xz", "disk.zip", "XZ.IMG", "DISK.ZST", "blocks.xz"}) {
        SCOPED_TRACE(name);
        events.clear();
        const std::string path = dir.file(name);
        const Inspection packed = ImageIO::inspect(path, cancel, recorder());
        const auto stored = static_cast<std::int64_t>(testing::readFile(path).size());
        EXPECT_EQ(packed, (Inspection{stored, 2 * MiB + 512, sha256sum(path), expandedHash}));
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front().stage, "checking");
        EXPECT_EQ(testing::only(events, "inspecting"),
                  (std::vector<Recorded>{{"inspecting", MiB, 0},
                                         {"inspecting", 2 * MiB, 0},
                                         {"inspecting", 2 * MiB + 512, 0}}));
        EXPECT_EQ(testing::only(events, "checking").back(), (Recorded{"checking", stored, stored}));
    }
}

TEST_F(ImageIOTest, InspectAdmitsOnlyImageExtensionsAndItsOwnersFiles) {
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file("disk.dmg"), cancel, nullptr); }),
              "Choose an IMG, BIN, hybrid ISO, ZIP, XZ or GZip image.");
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file("img"), cancel, nullptr); }),
              "Choose an IMG, BIN, hybrid ISO, ZIP, XZ or GZip image.");
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file("missing.Iso"), cancel, nullptr); }),
              "Cannot open the image file.");
    make("odd.bin", noise(1000, 10));
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file("odd.bin"), cancel, nullptr); }),
              "The image is empty or is not a sector-aligned disk image.");
    if (testing::isRoot()) {
        make("foreign.img", noise(512, 11));
        ASSERT_EQ(::chown(dir.file("foreign.img").c_str(), 4242, 4242), 0);
        EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file("foreign.img"), cancel, nullptr); }),
                  "The image must be an unlocked regular file owned by this user.");
    }
}

// Catches a 200 GiB sparse image hashed for minutes before it is refused (no "checking" event may
// come first), and a corrupt .gz or a tar stream that inspection would pass on to be written.
TEST_F(ImageIOTest, InspectRefusesOversizedCorruptAndTarImagesBeforeUsingThem) {
    sh("truncate -s 200G sparse.img && truncate -s $(( (1 << 37) + 1 )) over.iso");
    for (const char* name : {"sparse.img", "over.iso"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file(name), cancel, recorder()); }),
                  "Image exceeds the supported size.");
        EXPECT_TRUE(events.empty());
    }
    make("disk.img", noise(MiB, 13));
    sh("tar -cJf os.tar.xz disk.img && gzip -k disk.img");
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file("os.tar.xz"), cancel, nullptr); }),
              "The image is a tar archive, not a disk image.");
    std::string gz = testing::readFile(dir.file("disk.img.gz"));
    gz.replace(gz.size() - 8, 4, 4, '\0');
    make("bad.gz", gz);
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(dir.file("bad.gz"), cancel, nullptr); }),
              "Zlib library error: Corrupted input data (incorrect data check)");
}

TEST_F(ImageIOTest, WriteAllWritesEverythingOrFails) {
    const std::string data = noise(3 * MiB, 12);
    {
        const UniqueFd out = openOrThrow(dir.file("out.bin"), O_WRONLY | O_CREAT | O_TRUNC);
        ImageIO::writeAll(
            out.get(), std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    }
    EXPECT_TRUE(testing::readFile(dir.file("out.bin")) == data);

    const UniqueFd full = openOrThrow("/dev/full", O_WRONLY);
    const std::uint8_t byte = 1;
    EXPECT_EQ(failureOf([&] {
                  ImageIO::writeAll(full.get(), {&byte, 1});
              }),
              "Writing failed. Check the connection and free space.");
    const UniqueFd readOnly = openOrThrow(dir.file("out.bin"), O_RDONLY);
    EXPECT_EQ(failureOf([&] {
                  ImageIO::writeAll(readOnly.get(), {&byte, 1});
              }),
              "Writing failed. Check the connection and free space.");
}

}  // namespace
}  // namespace korvex
