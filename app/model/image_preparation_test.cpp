#include "app/model/image_preparation.hpp"

#include <gtest/gtest.h>

#include "app/model/image_download.hpp"
#include "tests/https_test_server.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::failureOf;

const std::string kNotCatalogue = "Image content does not match the signed catalogue.";

// Catches: a local file that is downloaded or compared with nothing; a catalogue image whose
// inspection is not held against its entry (the download proves only stored size and hash, never
// the expanded size); a hash compared in the entry's own letter case; bytes that differ from the
// entry reaching the inspection at all.
TEST(ImagePreparation, LocalFilesAreInspectedAndCatalogueImagesHeldToTheirEntry) {
    testing::HttpsTestServer server;
    testing::TempDir dir;
    const std::string image = testing::noise(1 << 20, 3);
    const std::string other = testing::noise(1 << 20, 4);
    server.serveFile("/image.img", image);
    server.serveFile("/other.img", other);
    testing::writeFile(dir.file("local.img"), image);

    auto entry = [&](const std::string& path, std::int64_t expanded) {
        ImageVariant v;
        v.id = "tower-" + path.substr(1, 5);
        v.downloadUrl = server.url(path);
        v.compression = "none";
        v.compressedSize = static_cast<std::int64_t>(image.size());
        v.expandedSize = expanded;
        v.sha256 = ImageIO::digest(image);
        for (char& c : v.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return v;
    };
    const std::int64_t size = static_cast<std::int64_t>(image.size());
    int fetches = 0;
    ImagePreparation::Fetch fetch = [&](const ImageVariant& v, const std::string& directory,
                                        const Cancellation& cancel,
                                        const ProgressCallback& progress) {
        ++fetches;
        NetworkOptions options = ImageDownload::networkOptions();
        options.caFile = server.caFile();
        return ImageDownload::fetch(v, directory, cancel, progress, options);
    };

    struct Case {
        const char* name;
        std::optional<std::string> local;
        std::optional<ImageVariant> selected;
        std::string failure;  // empty: prepared
        int fetches;
    } cases[] = {
        {"local alone", dir.file("local.img"), std::nullopt, "", 0},
        {"neither", std::nullopt, std::nullopt, "No image selected.", 0},
        {"catalogue image", std::nullopt, entry("/image.img", size), "", 1},
        {"entry expands otherwise", std::nullopt, entry("/image.img", size + 512), kNotCatalogue,
         1},
        {"other bytes of the same size", std::nullopt, entry("/other.img", size),
         "Downloaded image checksum is invalid. Remove the partial download and retry.", 1},
        {"local file against an entry", dir.file("local.img"), entry("/image.img", size - 512),
         kNotCatalogue, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir cache;
        fetches = 0;
        std::vector<std::string> stages;
        std::optional<PreparedImage> prepared;
        std::string failure = failureOf([&] {
            prepared = ImagePreparation::prepare(
                c.local, c.selected, cache.path() + "/Images", Cancellation{},
                [&](const WriteEvent& e) {
                    if (stages.empty() || stages.back() != e.stage) stages.push_back(e.stage);
                },
                fetch);
        });
        EXPECT_EQ(fetches, c.fetches);
        if (!c.failure.empty()) {
            EXPECT_EQ(failure, c.failure);
            continue;
        }
        ASSERT_TRUE(prepared) << failure;
        EXPECT_EQ(prepared->inspection.bytes, size);
        EXPECT_EQ(prepared->inspection.expanded, size);
        EXPECT_EQ(prepared->inspection.sha256, ImageIO::digest(image));
        EXPECT_EQ(stages.back(), "inspecting");
        if (c.local)
            EXPECT_EQ(prepared->path, *c.local);
        else
            EXPECT_EQ(testing::readFile(prepared->path), image);
    }
}

// Catches: an equal capacity refused or one byte less accepted (an off-by-one or a signed and
// unsigned mix-up), the capacity text in the wrong language, and a drive accepted by name when
// its identity or size changed.
TEST(ImagePreparation, DriveChecksBeforeTheConfirmation) {
    const TargetDisk drive{"sdkv", "Stick", 4096, 7, "USB"};
    const Inspection image{1000, 4096, "", ""};
    TargetDisk renumbered = drive;
    renumbered.registryID = 8;
    TargetDisk smaller = drive;
    smaller.capacity -= 1;
    const std::string changed =
        "The selected drive changed, is protected or was disconnected. Select it again.";
    struct Case {
        std::optional<TargetDisk> drive;
        bool chinese;
        std::vector<TargetDisk> listing;
        std::string failure;
    } cases[] = {
        {drive, false, {smaller, drive}, "(no failure)"},
        {std::nullopt, false, {}, "Choose a USB drive."},
        {smaller, false, {smaller}, "The selected drive is too small. Choose a larger drive."},
        {smaller, true, {smaller}, "目标盘容量不足。请换一个容量更大的盘。"},
        {drive, false, {renumbered}, changed},
        {drive, false, {}, changed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(failureOf([&] {
                      ImagePreparation::checkCapacity(c.drive, image, c.chinese);
                      ImagePreparation::checkStillListed(*c.drive, c.listing);
                  }),
                  c.failure);
    }
}

}  // namespace
}  // namespace korvex
