// The model with the real inspection and log; drives, downloads and writer through its seam.
#include "app/model/app_model.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/catalogue/recommendation.hpp"
#include "app/model/catalogue_view.hpp"
#include "app/model/diagnostics.hpp"
#include "app/model/image_download.hpp"
#include "app/model/writer_client.hpp"
#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "tests/test_platform_services.hpp"
#include "tests/test_support.hpp"

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace korvex {
namespace {

namespace fs = std::filesystem;
using Page = AppModel::Page;
using testing::runEventsUntil;

const QString kCancelled = kWriteCancelled;
const TargetDisk kDrive{"sdkv", "Test Stick", 1 << 20, 42, "USB"};
const std::string kDownloaded = testing::noise(1 << 20, 5);  // what every download brings

ImageVariant variant(const std::string& id, std::optional<std::string> product = {},
                     std::optional<std::string> device = {}) {
    ImageVariant v{.id = id, .name = "Korvex " + id, .compression = "none"};
    v.product = product, v.device = device;
    return v;
}

Catalogue testCatalogue(const std::string& version) {
    return {.schemaVersion = 1,
            .catalogueVersion = version,
            .generatedAt = "2026-01-01T00:00:00Z",
            .images = {variant("tower"), variant("nomad")}};
}

class ApplicationModel : public ::testing::Test {
  protected:
    ApplicationModel() {
        static int argc = 1;
        static char name[] = "app_model_test", *argv[] = {name, nullptr};
        [[maybe_unused]] static QCoreApplication* app = new QCoreApplication(argc, argv);
        setenv("XDG_DATA_HOME", home_.path().c_str(), 1);
        fs::create_directory(platform_.bin = home_.file("bin"));
        services_.listDrives = [this](const std::vector<std::string>& paths) {
            std::lock_guard<std::mutex> hold(lock_);
            protectedPaths_ = paths;
            ++listings_;
            if (onList_) onList_(listings_);
            return drives_;
        };
        services_.probe = [] { return DeviceProfile{}; };
        services_.bundled = [] {
            return std::pair<Catalogue, CatalogueConfig>{testCatalogue("shipped"), {}};
        };
        services_.refresh = [this](const Catalogue&, const CatalogueConfig&) {
            if (refreshFails_) throw ImagerError("Catalogue signature is invalid.");
            return testCatalogue("fresh");
        };
        services_.fetch = [](auto& image, auto& directory, auto&, auto&) {
            fs::create_directories(directory);
            testing::writeFile(directory + "/" + ImageDownload::fileName(image), kDownloaded);
            return directory + "/" + ImageDownload::fileName(image);
        };
        services_.write = [this](auto& source, auto& inspection, auto&, auto& cancel,
                                 auto& progress) {
            ++writes_;
            writtenSource_ = source;
            if (cancel.isCancelled()) throw ImagerError::cancelled();
            progress({"writing", inspection.expanded / 2, inspection.expanded, std::nullopt});
            if (!writeFailure_) return;
            progress({"error", 0, 0, *writeFailure_});  // the writer's closing event
            throw ImagerError(*writeFailure_);
        };
        services_.log = [](const std::string& s, const std::string& m) { Diagnostics::log(s, m); };
        services_.websiteChinese = "https://cn.korvex.example";
        services_.websiteEnglish = "https://www.korvex.example";
    }

    AppModel& make() {
        model_ = std::make_unique<AppModel>(ProcessorInventory(), platform_, services_);
        QObject::connect(model_.get(), &AppModel::pageChanged,
                         [this] { pages_.push_back(model_->page()); });
        return *model_;
    }
    // Chooses a fresh raw image of 1 MiB and the test drive, and waits for the listing.
    std::string chooseLocalAndDrive(AppModel& model) {
        testing::writeFile(home_.file("image.img"), testing::noise(1 << 20, 1));
        const std::string path = fs::canonical(*(platform_.file = home_.file("image.img")));
        model.chooseLocal();
        EXPECT_TRUE(runEventsUntil(
            [&] { return model.local().toStdString() == path && !model.refreshing(); }));
        model.setTargetID(QString::fromStdString(kDrive.id()));
        EXPECT_FALSE(model.currentTarget().isEmpty());
        return path;
    }

    bool idle(AppModel& model) {
        return runEventsUntil([&] { return !model.busy() && !model.refreshing(); });
    }

    // The diagnostics log as (stage, message) pairs.
    std::vector<std::pair<std::string, std::string>> log() {
        std::vector<std::pair<std::string, std::string>> entries;
        std::ifstream in(Diagnostics::url());
        for (std::string line; std::getline(in, line);) {
            auto e = nlohmann::json::parse(line);
            entries.emplace_back(e["stage"], e["message"]);
        }
        return entries;
    }

    testing::TempDir home_;
    testing::TestPlatform platform_;
    AppServices services_;
    std::vector<Page> pages_;

    std::mutex lock_;
    std::vector<TargetDisk> drives_{kDrive};
    std::vector<std::string> protectedPaths_;
    std::function<void(int)> onList_;
    int listings_ = 0;
    std::atomic<int> writes_{0};
    bool refreshFails_ = false;
    std::optional<std::string> writeFailure_;
    std::string writtenSource_;
    std::unique_ptr<AppModel> model_;  // last: its workers use everything above
};

// Catches the image's drive offered, a cancel or lost drive not stopping a write, failures lost.
TEST_F(ApplicationModel, WriteFlowRefusalsAndFailures) {
    const struct {
        int cancelAtListing;                             // raise the flag then (0: never)
        std::optional<std::vector<TargetDisk>> recheck;  // what the re-check lists
        std::optional<std::string> writeFailure;
        QString error;       // empty: written
        std::string logged;  // the stage of the failure's entry
    } cases[] = {
        {0, std::nullopt, std::nullopt, "", ""},
        {2, std::nullopt, std::nullopt, kCancelled, "inspecting"},
        {0, std::vector<TargetDisk>{}, std::nullopt, kSelectedDriveChanged, "inspecting"},
        {0, std::nullopt, "Disk on fire.", "Disk on fire.", "writing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.toStdString());
        drives_ = {kDrive};
        listings_ = writes_ = 0;
        writeFailure_ = c.writeFailure;
        platform_.calls.clear();
        AppModel& model = make();
        const std::string path = chooseLocalAndDrive(model);
        EXPECT_EQ(protectedPaths_, std::vector<std::string>{path});  // its drive is never offered
        Cancellation* flag = nullptr;
        onList_ = [&](int n) {
            if (n == c.cancelAtListing) flag->cancel();
            if (n == 2 && c.recheck) drives_ = *c.recheck;
        };
        pages_.clear();
        model.perform(false);
        flag = &model.cancellation();
        ASSERT_TRUE(idle(model));
        onList_ = nullptr;

        const int writes = c.error.isEmpty() || c.writeFailure ? 1 : 0;
        EXPECT_EQ(std::ranges::count_if(platform_.calls,
                                        [](auto& s) { return s.starts_with("confirm "); }),
                  writes);
        EXPECT_EQ(writes_, writes);
        EXPECT_EQ(model.error(), c.error);
        if (c.error.isEmpty()) {
            EXPECT_EQ(pages_, (std::vector<Page>{AppModel::Progress, AppModel::Complete}));
            EXPECT_EQ(writtenSource_, path);
            continue;
        }
        EXPECT_EQ(pages_, (std::vector<Page>{AppModel::Progress, AppModel::Prepare}));
        EXPECT_EQ(model.prepared().toStdString(), path);
        EXPECT_EQ(log().back(),
                  std::make_pair(c.logged, c.error == kCancelled ? "Operation cancelled."
                                                                 : c.error.toStdString()));
    }
    model_->refreshDrives();
    ASSERT_TRUE(idle(*model_));
    EXPECT_EQ(model_->error(), "Disk on fire.");
}

// Catches a second operation or listing started while one runs, a cancel not reaching the writer.
TEST_F(ApplicationModel, OneOperationAtATime) {
    std::function<void(EraseAnswer)> answer;
    platform_.onConfirm = [&](auto&, auto given) { answer = given; };
    AppModel& model = make();
    chooseLocalAndDrive(model);
    const int listed = listings_;
    model.perform(false);
    ASSERT_TRUE(runEventsUntil([&] { return bool(answer); }));
    EXPECT_TRUE(model.busy());
    model.perform(true);
    model.refreshDrives();
    model.back();
    EXPECT_FALSE(model.downloadingOnly());
    EXPECT_FALSE(model.refreshing());
    EXPECT_EQ(model.page(), AppModel::Progress);
    EXPECT_EQ(listings_, listed + 1);  // the re-check alone
    model.cancel();
    answer({true, "sdkv"});
    ASSERT_TRUE(idle(model));
    EXPECT_EQ(model.error(), kCancelled);  // the writer saw the raised flag
    EXPECT_EQ(writes_, 1);
}

// Catches a failed refresh losing the shipped catalogue or unlogged, a name the writer can't carry.
TEST_F(ApplicationModel, LoadingAndChoosing) {
    refreshFails_ = true;
    AppModel& model = make();
    model.load();
    ASSERT_TRUE(runEventsUntil([&] { return !model.error().isEmpty(); }));
    EXPECT_EQ(model.catalogue()["catalogueVersion"], "shipped");
    EXPECT_EQ(model.error(), QString::fromStdString(reasonText("catalogue", false)));
    EXPECT_EQ(log().back(), std::make_pair(std::string("catalogue"),
                                           std::string("Catalogue signature is invalid.")));
    const auto none = CatalogueView::load(
        []() -> std::pair<Catalogue, CatalogueConfig> {
            throw ImagerError("Catalogue signature is invalid.");
        },
        [](const Catalogue&, const CatalogueConfig&) -> Catalogue {
            throw std::logic_error("refreshed");
        });
    EXPECT_TRUE(!none.catalogue && !none.shipped);
    EXPECT_EQ(none.failure, "Catalogue signature is invalid.");

    testing::writeFile(home_.file("image.img"), std::string(512, 'x'));
    testing::writeFile(home_.file("bad-\xff.img"), std::string(512, 'x'));
    platform_.file = home_.file("image.img");
    model.chooseLocal();
    ASSERT_TRUE(runEventsUntil([&] { return !model.local().isEmpty() && !model.refreshing(); }));
    platform_.file = home_.file("bad-\xff.img");
    model.chooseLocal();
    ASSERT_TRUE(runEventsUntil([&] { return !model.error().isEmpty(); }));
    EXPECT_EQ(model.error(), WriterClient::kPathNotUtf8);
    EXPECT_EQ(model.localName(), "image.img");
}

// Catches a wrong graphics guess, a caseful filter, productless images dropped, retired ones shown.
TEST(CatalogueView, GuessesGraphicsAndFiltersImages) {
    const std::pair<std::vector<std::string>, const char*> guesses[] = {
        {{"Intel Iris Xe Graphics"}, "integrated"},
        {{"AMD Radeon Pro 5500M"}, "amd"},
        {{"NVIDIA GeForce RTX 3060"}, "nvidia"},
        {{"Intel UHD Graphics", "NVIDIA GeForce RTX 3060"}, "unknown"},
        {{"Matrox G200"}, "unknown"}};
    for (const auto& [gpus, graphics] : guesses)
        EXPECT_EQ(CatalogueView::guessGraphics({.gpuNames = gpus}), graphics) << gpus[0];

    ImageVariant retired = variant("retired", "tower");
    retired.retired = true;
    Catalogue catalogue = testCatalogue("fresh");
    catalogue.images = {variant("tower", "tower"), variant("plain"),
                        variant("nomad", "nomad", "ThinkPad X13"), variant("pi", "boards"),
                        retired};
    const std::pair<std::array<const char*, 2>, std::vector<std::string>> filters[] = {
        {{"tower", ""}, {"tower", "plain"}},
        {{"nomad", "thinkpad x"}, {"nomad"}},
        {{"nomad", "KORVEX"}, {"nomad"}},
        {{"boards", "zzz"}, {}},
        {{"boards", ""}, {"pi"}}};
    for (const auto& [filter, ids] : filters) {
        std::vector<std::string> shown;
        for (const ImageVariant& image : CatalogueView::images(catalogue, filter[0], filter[1]))
            shown.push_back(image.id);
        EXPECT_EQ(shown, ids) << filter[0] << " / " << filter[1];
    }
}

// Catches another host opened, a download-only run that writes, the wrong cached files cleared.
TEST_F(ApplicationModel, AddressesDownloadOnlyAndCache) {
    AppModel& model = make();
    platform_.calls.clear();
    model.setChinese(true);
    for (const char* path : {"/help/", ".evil.example/", "@evil.example/", "", "/a b"})
        model.open(path);
    EXPECT_EQ(platform_.calls, std::vector<std::string>{"url https://cn.korvex.example/help/"});
    model.setChinese(false);

    ImageVariant image = variant("good");
    image.compressedSize = image.expandedSize = 1 << 20;
    image.sha256 = ImageIO::digest(kDownloaded);
    model.choose(image, "", AppModel::Catalogue);
    model.setTargetID(QString::fromStdString(kDrive.id()));
    platform_.calls.clear();
    model.perform(true);
    ASSERT_TRUE(idle(model));
    const std::string cached =
        model.cacheFolder().toStdString() + "/" + ImageDownload::fileName(image);
    EXPECT_EQ(model.prepared().toStdString(), cached);
    EXPECT_EQ(model.page(), AppModel::Prepare);
    EXPECT_EQ(platform_.calls, std::vector<std::string>{"reveal " + cached});
    EXPECT_EQ(writes_, 0);

    const struct {
        bool finished, foreign, trashWorks;
        std::vector<bool> remain;  // finished, partial
    } clears[] = {{false, false, true, {false, false}},
                  {true, false, true, {false, false}},
                  {true, false, false, {true, true}},  // the Bin refuses
                  {true, true, true, {false, true}}};  // the partial file is another user's
    fs::remove(cached);
    for (const auto& c : clears) {
        SCOPED_TRACE(&c - clears);
        if (c.foreign && !testing::isRoot()) continue;  // only root can give a file away
        if (c.finished) testing::writeFile(cached, "image");
        testing::writeFile(cached + ".part", "part");
        if (c.foreign) {
            ASSERT_EQ(chown((cached + ".part").c_str(), getuid() + 1, getgid()), 0);
        }
        platform_.trashWorks = c.trashWorks;
        model.clearSelectedCache();
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        EXPECT_EQ(fs::exists(cached), c.remain[0]);
        EXPECT_EQ(fs::exists(cached + ".part"), c.remain[1]);
        EXPECT_EQ(model.error().isEmpty(), !c.remain[0] && !c.remain[1])
            << model.error().toStdString();
        fs::remove(cached);
        fs::remove(cached + ".part");
    }
}

}  // namespace
}  // namespace korvex
