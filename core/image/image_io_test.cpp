// Hashing and inspection of real files, checked against sha256sum, gzip, xz and tar.
#include "core/image/image_io.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/base/shell_quote.hpp"
#include "tests/test_images.hpp"

namespace korvex {
namespace {

using testing::failureOf;
using testing::noise;
using testing::Recorded;

constexpr std::int64_t MiB = 1048576;

// A private folder of images made by the standard tools, and the events of one operation.
struct Images {
    std::string make(const std::string& name, const std::string& bytes) {
        testing::writeFile(dir.file(name), bytes);
        return dir.file(name);
    }
    std::string sh(const std::string& command) {
        return testing::shell("cd " + shellQuote(dir.path()) + " && " + command);
    }
    SourceFile open(const std::string& name) { return SourceFile(dir.file(name), getuid(), false); }

    testing::TempDir dir;
    Cancellation cancel;
    std::vector<Recorded> events;
    ProgressCallback record = testing::recordInto(events);
};

// Catches a hash begun where the offset was left or unlike sha256sum's, and progress not per chunk.
TEST(ImageIO, HashFileMatchesSha256sumWithOneEventPerChunk) {
    Images f;
    const std::int64_t size = 3 * MiB + 1000;
    f.make("disk.img", noise(size, 1));
    const SourceFile source = f.open("disk.img");
    ASSERT_EQ(lseek(source.fd(), 12345, SEEK_SET), 12345);
    EXPECT_EQ(ImageIO::hashFile(source, f.cancel, f.record),
              f.sh("sha256sum disk.img").substr(0, 64));
    EXPECT_EQ(f.events, (std::vector<Recorded>{{"checking", MiB, size},
                                               {"checking", 2 * MiB, size},
                                               {"checking", 3 * MiB, size},
                                               {"checking", size, size}}));
    EXPECT_EQ(ImageIO::digest(std::string_view("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Catches a hash of a file that was empty or changed size after opening (beyond the read-ahead).
TEST(ImageIO, HashFileNoticesEmptyGrowingAndShrinkingFiles) {
    Images f;
    f.make("empty.img", "");
    EXPECT_EQ(failureOf([&] { ImageIO::hashFile(f.open("empty.img"), f.cancel, nullptr); }),
              "Image changed or is empty.");
    for (const std::int64_t newSize : {12 * MiB + 512, 9 * MiB, std::int64_t{0}}) {
        const std::string path = f.make("disk.img", noise(12 * MiB, 2));
        bool changed = false;
        EXPECT_EQ(failureOf([&] {
                      ImageIO::hashFile(f.open("disk.img"), f.cancel, [&](const WriteEvent&) {
                          EXPECT_EQ(changed ? 0 : truncate(path.c_str(), newSize), 0);
                          changed = true;
                      });
                  }),
                  "Image changed or is empty.")
            << newSize;
    }
}

// Catches a read started after cancellation, by any operation, or after a cancelling callback.
TEST(ImageIO, CancellationStopsBeforeTheNextRead) {
    Images f;
    const std::string path = f.make("disk.img", noise(8 * MiB, 8));
    const SourceFile source = f.open("disk.img");
    f.cancel.cancel();
    EXPECT_EQ(failureOf([&] { ImageIO::hashFile(source, f.cancel, f.record); }), "cancelled");
    EXPECT_EQ(failureOf([&] { ImageIO::stream(source, f.cancel, nullptr); }), "cancelled");
    EXPECT_EQ(failureOf([&] { ImageIO::inspect(path, f.cancel, f.record); }), "cancelled");
    EXPECT_EQ(lseek(source.fd(), 0, SEEK_CUR), 0);  // nothing was read
    Cancellation later;
    EXPECT_EQ(failureOf([&] {
                  ImageIO::hashFile(source, later,
                                    testing::recordInto(f.events, [&](auto&) { later.cancel(); }));
              }),
              "cancelled");
    EXPECT_EQ(f.events.size(), 1u);
}

// Catches decoder threads of an `xz -T` file that go on expanding (or hang) after cancellation.
TEST(ImageIO, CancellationStopsAMultiThreadedExpansionWithinABlock) {
    Images f;
    f.make("disk.img", noise(8 * MiB, 14));
    f.sh("xz -0 -T2 --block-size=256KiB -c disk.img > blocks.xz");
    const SourceFile source = f.open("blocks.xz");
    int chunks = 0;
    EXPECT_EQ(failureOf([&] {
                  ImageIO::stream(source, f.cancel, [&](std::span<const std::uint8_t>) {
                      ++chunks;
                      f.cancel.cancel();
                  });
              }),
              "cancelled");
    EXPECT_EQ(chunks, 1);
    // A block is a quarter MiB of the file; read ahead are a few chunks and blocks in flight.
    EXPECT_LT(lseek(source.fd(), 0, SEEK_CUR), 6 * MiB);
}

// Catches stored and expanded facts mixed up, an upper-case extension refused, progress misordered.
TEST(ImageIO, InspectReportsStoredAndExpandedFacts) {
    Images f;
    f.make("disk.img", noise(2 * MiB + 512, 9));
    const std::string hashes = f.sh("gzip -c disk.img > DISK.GZ && sha256sum disk.img DISK.GZ");
    const std::string expanded = hashes.substr(0, 64),
                      stored = hashes.substr(hashes.find('\n') + 1, 64);
    EXPECT_EQ(ImageIO::inspect(f.dir.file("disk.img"), f.cancel, nullptr),
              (Inspection{2 * MiB + 512, 2 * MiB + 512, expanded, expanded}));
    const auto bytes = static_cast<std::int64_t>(testing::readFile(f.dir.file("DISK.GZ")).size());
    EXPECT_EQ(ImageIO::inspect(f.dir.file("DISK.GZ"), f.cancel, f.record),
              (Inspection{bytes, 2 * MiB + 512, stored, expanded}));
    EXPECT_EQ(f.events.front().stage, "checking");
    EXPECT_EQ(testing::only(f.events, "checking").back(), (Recorded{"checking", bytes, bytes}));
    EXPECT_EQ(
        testing::only(f.events, "inspecting"),
        (std::vector<Recorded>{
            {"inspecting", MiB, 0}, {"inspecting", 2 * MiB, 0}, {"inspecting", 2 * MiB + 512, 0}}));
}

// Catches an image admitted that must not be written, and a 200 GiB sparse one hashed first.
TEST(ImageIO, InspectRefusesWhatIsNoImageOfThisUser) {
    Images f;
    f.make("odd.bin", noise(1000, 10));
    f.make("disk.img", noise(MiB, 13));
    f.sh(
        "truncate -s 200G sparse.img && truncate -s $(( (1 << 37) + 1 )) over.iso && "
        "tar -cJf os.tar.xz disk.img && gzip -k disk.img");
    std::string gz = testing::readFile(f.dir.file("disk.img.gz"));
    f.make("bad.gz", gz.replace(gz.size() - 8, 4, 4, '\0'));
    const std::string kinds = "Choose an IMG, BIN, hybrid ISO, ZIP, XZ or GZip image.",
                      tooLarge = "Image exceeds the supported size.";
    std::vector<std::pair<std::string, std::string>> rows = {
        {"disk.dmg", kinds},
        {"img", kinds},
        {"missing.Iso", "Cannot open the image file."},
        {"odd.bin", "The image is empty or is not a sector-aligned disk image."},
        {"sparse.img", tooLarge},
        {"over.iso", tooLarge},
        {"os.tar.xz", "The image is a tar archive, not a disk image."},
        {"bad.gz", "Zlib library error: Corrupted input data (incorrect data check)"}};
    if (testing::isRoot()) {
        f.make("foreign.img", noise(512, 11));
        ASSERT_EQ(chown(f.dir.file("foreign.img").c_str(), 4242, 4242), 0);
        rows.emplace_back("foreign.img",
                          "The image must be an unlocked regular file owned by this user.");
    }
    for (const auto& [name, expected] : rows) {
        f.events.clear();
        EXPECT_EQ(failureOf([&] { ImageIO::inspect(f.dir.file(name), f.cancel, f.record); }),
                  expected);
        EXPECT_TRUE(expected != tooLarge || f.events.empty()) << name;
    }
}

}  // namespace
}  // namespace korvex
