#include "app/model/image_preparation.hpp"

#include <gtest/gtest.h>

#include "app/model/image_download.hpp"
#include "tests/https_test_server.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::failureOf;

// Catches: a local file that is downloaded or compared with nothing; a catalogue image whose
// inspection is not held against its entry (the download proves only stored size and hash, never
// the expanded size); a hash compared in the entry's own letter case.
TEST(ImagePreparation, LocalFilesAreInspectedAndCatalogueImagesHeldToTheirEntry) {
    testing::HttpsTestServer server;
    testing::TempDir dir;
    const std::string image = testing::noise(1 << 20, 3), local = dir.file("local.img");
    server.serveFile("/image.img", image);
    testing::writeFile(local, image);
    const std::int64_t size = 1 << 20;
    std::string upper = ImageIO::digest(image);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto entry = [&](const std::string& path, std::int64_t expanded) {
        return ImageVariant{.id = "tower-" + path.substr(1, 5),
                            .downloadUrl = server.url(path),
                            .compression = "none",
                            .compressedSize = size,
                            .expandedSize = expanded,
                            .sha256 = upper};
    };
    int fetches = 0;
    auto fetch = [&](const ImageVariant& v, const std::string& directory,
                     const Cancellation& cancel, const ProgressCallback& progress) {
        ++fetches;
        NetworkOptions options = ImageDownload::networkOptions();
        options.caFile = server.caFile();
        return ImageDownload::fetch(v, directory, cancel, progress, options);
    };
    const std::string ok = "(no failure)",
                      notCatalogue = "Image content does not match the signed catalogue.";
    const struct {
        std::optional<std::string> local;
        std::optional<ImageVariant> selected;
        std::string failure;
        int fetches;
    } cases[] = {
        {local, std::nullopt, ok, 0},
        {std::nullopt, std::nullopt, "No image selected.", 0},
        {std::nullopt, entry("/image.img", size), ok, 1},
        {std::nullopt, entry("/image.img", size + 512), notCatalogue, 1},
        {local, entry("/image.img", size - 512), notCatalogue, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure + (c.local ? " local " : " ") + (c.selected ? c.selected->id : ""));
        testing::TempDir cache;
        fetches = 0;
        std::string stage;
        std::optional<PreparedImage> prepared;
        EXPECT_EQ(failureOf([&] {
                      prepared = ImagePreparation::prepare(
                          c.local, c.selected, cache.file("Images"), Cancellation{},
                          [&](const WriteEvent& e) { stage = e.stage; }, fetch);
                  }),
                  c.failure);
        EXPECT_EQ(fetches, c.fetches);
        if (!prepared) continue;
        EXPECT_EQ(prepared->inspection.bytes, size);
        EXPECT_EQ(prepared->inspection.expanded, size);
        EXPECT_EQ(prepared->inspection.sha256, ImageIO::digest(image));
        EXPECT_EQ(stage, "inspecting");
        EXPECT_EQ(testing::readFile(prepared->path), image);
        EXPECT_EQ(prepared->path, c.local.value_or(prepared->path));
    }
}

// Catches: an equal capacity refused or one byte less accepted (an off-by-one or a signed and
// unsigned mix-up), the capacity text in the wrong language, and a drive accepted by name when
// its identity or size changed.
TEST(ImagePreparation, DriveChecksBeforeTheConfirmation) {
    const TargetDisk drive{"sdkv", "Stick", 4096, 7, "USB"},
        renumbered{"sdkv", "Stick", 4096, 8, "USB"}, smaller{"sdkv", "Stick", 4095, 7, "USB"};
    const std::string changed =
        "The selected drive changed, is protected or was disconnected. Select it again.";
    const struct {
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
    for (const auto& c : cases) {
        EXPECT_EQ(
            failureOf([&] {
                ImagePreparation::checkCapacity(c.drive, Inspection{1000, 4096, "", ""}, c.chinese);
                ImagePreparation::checkStillListed(*c.drive, c.listing);
            }),
            c.failure);
    }
}

}  // namespace
}  // namespace korvex
