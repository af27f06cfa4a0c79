#include "app/model/image_preparation.hpp"

#include <gtest/gtest.h>

#include <set>

#include "app/model/image_download.hpp"
#include "core/records/imager_error.hpp"
#include "tests/https_test_server.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::failureOf;

// Catches a local file downloaded, an image not held to its entry's size and hash in any case.
TEST(ImagePreparation, LocalFilesAreInspectedAndCatalogueImagesHeldToTheirEntry) {
    testing::HttpsTestServer server;
    testing::TempDir dir;
    const std::string image = testing::noise(1 << 20, 3), local = dir.file("local.img");
    const std::string digest = ImageIO::digest(image);
    server.serveFile("/image.img", image);
    testing::writeFile(local, image);
    const std::int64_t size = 1 << 20;
    ImageVariant entry{.id = "tower",
                       .downloadUrl = server.url("/image.img"),
                       .compression = "none",
                       .compressedSize = size,
                       .sha256 = digest};
    for (char& c : entry.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
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
        std::int64_t expanded;  // the selected entry's (0: none selected)
        std::string failure;
        int fetches;
    } cases[] = {
        {local, 0, ok, 0},
        {std::nullopt, 0, "No image selected.", 0},
        {std::nullopt, size, ok, 1},
        {std::nullopt, size + 512, notCatalogue, 1},
        {local, size - 512, notCatalogue, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure + (c.local ? " local " : " ") + std::to_string(&c - cases));
        testing::TempDir cache;
        fetches = 0;
        std::string stage;
        std::optional<PreparedImage> prepared;
        std::optional<ImageVariant> selected;
        if (c.expanded) (selected = entry)->expandedSize = c.expanded;
        EXPECT_EQ(failureOf([&] {
                      prepared = ImagePreparation::prepare(
                          c.local, selected, cache.file("Images"), Cancellation{},
                          [&](const WriteEvent& e) { stage = e.stage; }, fetch);
                  }),
                  c.failure);
        EXPECT_EQ(fetches, c.fetches);
        if (!prepared) continue;
        EXPECT_TRUE(prepared->inspection == (Inspection{size, size, digest, digest}));
        EXPECT_EQ(stage, "inspecting");
        EXPECT_EQ(testing::readFile(prepared->path), image);
        EXPECT_EQ(prepared->path, c.local.value_or(prepared->path));
    }
}

// Catches an off-by-one capacity, a text in one language only, a changed drive accepted.
TEST(ImagePreparation, DriveChecksBeforeTheConfirmation) {
    const TargetDisk drive{"sdkv", "Stick", 4096, 7, "USB"},
        renumbered{"sdkv", "Stick", 4096, 8, "USB"}, smaller{"sdkv", "Stick", 4095, 7, "USB"};
    const struct {
        std::optional<TargetDisk> drive;
        bool chinese;
        std::vector<TargetDisk> listing;
        std::string failure;  // empty: a text of its own
    } cases[] = {
        {drive, false, {smaller, drive}, "(no failure)"},
        {drive, false, {renumbered}, kSelectedDriveChanged},
        {drive, false, {}, kSelectedDriveChanged},
        {std::nullopt, false, {}, ""},  // no drive
        {smaller, false, {smaller}, ""},
        {smaller, true, {smaller}, ""},
    };
    std::set<std::string> texts{"(no failure)", kSelectedDriveChanged};
    for (const auto& c : cases) {
        const std::string failure = failureOf([&] {
            ImagePreparation::checkCapacity(c.drive, Inspection{1000, 4096, "", ""}, c.chinese);
            ImagePreparation::checkStillListed(*c.drive, c.listing);
        });
        EXPECT_TRUE(c.failure.empty() ? texts.insert(failure).second : failure == c.failure)
            << failure;
    }
}

}  // namespace
}  // namespace korvex
