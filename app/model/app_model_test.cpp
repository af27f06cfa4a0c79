// The application model in one process: the real inspection, download (against the local HTTPS
// test server), paths and diagnostics log; drives and the writer through the model's service seam
// (whole writes on real devices are in app_model_write_test).
#include "app/model/app_model.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/catalogue/recommendation.hpp"
#include "app/catalogue/signed_catalogue.hpp"
#include "app/model/diagnostics.hpp"
#include "app/model/image_download.hpp"
#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "tests/https_test_server.hpp"
#include "tests/test_platform_services.hpp"
#include "tests/test_support.hpp"

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace korvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Page = AppModel::Page;

const QString kCancelled = "Cancelled. If writing had started, recreate the USB before using it.";

void ensureApplication() {
    static int argc = 1;
    static char name[] = "app_model_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
}

// Runs the event loop until `done` holds. The limit only turns a hang into a failure.
// Delivers what is already queued (the answers of the test's dialogs).
void drain() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

std::string str(const QVariant& value) {
    return value.toString().toStdString();
}

bool settle(const std::function<bool()>& done) {
    QTimer wake;
    wake.start(20);
    const auto end = std::chrono::steady_clock::now() + 120s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

ImageVariant variant(const std::string& id, std::optional<std::string> product,
                     std::optional<std::string> board, std::optional<std::string> device) {
    ImageVariant v;
    v.id = id;
    v.name = "Korvex " + id;
    v.version = "1.0";
    v.releaseDate = "2026-01-01";
    v.downloadUrl = "https://127.0.0.1/none";
    v.compression = "none";
    v.compressedSize = 512;
    v.expandedSize = 512;
    v.sha256 = std::string(64, 'a');
    v.product = std::move(product);
    v.board = std::move(board);
    v.device = std::move(device);
    return v;
}

Catalogue testCatalogue(const std::string& version) {
    Catalogue c;
    c.schemaVersion = 1;
    c.catalogueVersion = version;
    c.generatedAt = "2026-01-01T00:00:00Z";
    ImageVariant retired = variant("retired", "tower", std::nullopt, std::nullopt);
    retired.retired = true;
    c.images = {variant("tower", "tower", "amd64-korvex_iris", std::nullopt),
                variant("plain", std::nullopt, std::nullopt, std::nullopt),
                variant("nomad", "nomad", std::nullopt, "ThinkPad X13"),
                variant("pi", "boards", "rpi5-korvex", std::nullopt),
                variant("edge", "boards", "edge2-korvex", std::nullopt),
                variant("odd", "boards", "odd-board", std::nullopt),
                retired};
    return c;
}

const TargetDisk kDrive{"sdkv", "Test Stick", 1 << 20, 42, "USB"};

class AppModelTest : public ::testing::Test {
  protected:
    AppModelTest() {
        ensureApplication();
        setenv("XDG_DATA_HOME", home_.path().c_str(), 1);
        fs::create_directory(home_.file("bin"));
        platform_.bin = home_.file("bin");
        services_.listDrives = [this](const std::vector<std::string>& paths) {
            std::lock_guard<std::mutex> hold(lock_);
            protectedPaths_ = paths;
            ++listings_;
            if (onList_) onList_(listings_);
            if (listFailure_) throw ImagerError(*listFailure_);
            return drives_;
        };
        services_.probe = [this] { return host_; };
        services_.bundled = [] {
            return std::pair<Catalogue, CatalogueConfig>{testCatalogue("shipped"), {}};
        };
        services_.refresh = [this](const Catalogue&, const CatalogueConfig&) {
            ++refreshes_;
            if (refreshFails_) throw ImagerError("Catalogue signature is invalid.");
            return testCatalogue("fresh");
        };
        services_.fetch = [this](const ImageVariant& image, const std::string& directory,
                                 const Cancellation& cancel,
                                 const std::function<void(const WriteEvent&)>& progress) {
            NetworkOptions options = ImageDownload::networkOptions();
            options.caFile = server_.caFile();
            return ImageDownload::fetch(image, directory, cancel, progress, options);
        };
        services_.write = [this](const std::string& source, const Inspection& inspection,
                                 const TargetDisk& target, Cancellation& cancel,
                                 const std::function<void(const WriteEvent&)>& progress) {
            ++writes_;
            writtenSource_ = source;
            writtenTarget_ = target;
            if (cancel.isCancelled()) throw ImagerError::cancelled();
            progress({"writing", inspection.expanded / 2, inspection.expanded, std::nullopt});
            if (writeFailure_) throw ImagerError(*writeFailure_);
        };
        services_.log = [](const std::string& stage, const std::string& message) {
            Diagnostics::log(stage, message);
        };
        services_.websiteChinese = "https://cn.korvex.example";
        services_.websiteEnglish = "https://www.korvex.example";
    }

    AppModel& make() {
        model_ = std::make_unique<AppModel>(ProcessorInventory(), platform_, services_);
        QObject::connect(model_.get(), &AppModel::pageChanged,
                         [this] { pages_.push_back(model_->page()); });
        return *model_;
    }

    // A raw image of `size` bytes of this user in the test's folder.
    std::string image(const std::string& name, std::size_t size, unsigned seed = 1) {
        testing::writeFile(home_.file(name), testing::noise(size, seed));
        return home_.file(name);
    }

    // Chooses `path` as the local image and the test drive, and waits for the listing.
    void chooseLocalAndDrive(AppModel& model, const std::string& path,
                             const TargetDisk& drive = kDrive) {
        platform_.file = path;
        model.chooseLocal();
        const QString local = QString::fromStdString(fs::canonical(path).string());
        ASSERT_TRUE(settle([&] { return model.local() == local && !model.refreshing(); }));
        model.setTargetID(QString::fromStdString(drive.id()));
        ASSERT_FALSE(model.currentTarget().isEmpty());
    }

    bool idle(AppModel& model) {
        return settle([&] { return !model.busy() && !model.refreshing(); });
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
    testing::HttpsTestServer server_;
    AppServices services_;
    std::vector<Page> pages_;

    std::mutex lock_;
    std::vector<TargetDisk> drives_{kDrive};
    std::optional<std::string> listFailure_;
    std::vector<std::string> protectedPaths_;
    std::function<void(int)> onList_;
    int listings_ = 0;
    DeviceProfile host_{"Maker", "Model", "Intel Core i5-1135G7", {"Intel Iris Xe Graphics"}};
    std::atomic<int> refreshes_{0};
    bool refreshFails_ = false;
    std::atomic<int> writes_{0};
    std::optional<std::string> writeFailure_;
    std::string writtenSource_;
    TargetDisk writtenTarget_;
    std::unique_ptr<AppModel> model_;  // last: its workers use everything above
};

// Catches: a write that starts without a drive, an image or while another runs; a confirmation
// compared loosely; a capacity check off by one or in one language only; a raised flag that does
// not stop the write before the writer starts; a vanished or changed drive written anyway; and a
// failure not logged with its stage, or one that leaves the model unusable.
TEST_F(AppModelTest, WriteFlowRefusalsAndFailures) {
    const std::string size = "1048576";
    struct Case {
        const char* name;
        std::string typed;  // what the user types; "-" dismisses the dialog
        std::uint64_t capacity;
        bool chinese;
        int cancelAtListing;  // raise the flag during this listing (0: never)
        std::optional<std::vector<TargetDisk>> recheck;  // what the re-check lists
        QString error;                                   // empty: written
        int confirms;
    } cases[] = {
        {"exact capacity", "sdkv", 1 << 20, false, 0, std::nullopt, "", 1},
        {"other case", "SDKV", 1 << 20, false, 0, std::nullopt, kCancelled, 1},
        {"trailing space", "sdkv ", 1 << 20, false, 0, std::nullopt, kCancelled, 1},
        {"dismissed", "-", 1 << 20, false, 0, std::nullopt, kCancelled, 1},
        {"one byte small", "sdkv", (1 << 20) - 1, false, 0, std::nullopt,
         "The selected drive is too small. Choose a larger drive.", 0},
        {"one byte small, Chinese", "sdkv", (1 << 20) - 1, true, 0, std::nullopt,
         QString::fromUtf8("目标盘容量不足。请换一个容量更大的盘。"), 0},
        {"cancel before the question", "sdkv", 1 << 20, false, 2, std::nullopt, kCancelled, 0},
        {"drive gone", "sdkv", 1 << 20, false, 0, std::vector<TargetDisk>{},
         "The selected drive changed, is protected or was disconnected. Select it again.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TargetDisk drive = kDrive;
        drive.capacity = c.capacity;
        drives_ = {drive};
        listings_ = 0;
        writes_ = 0;
        platform_.calls.clear();
        platform_.onConfirm = [typed = c.typed](const EraseConfirmation&,
                                                std::function<void(EraseAnswer)> answer) {
            testing::TestPlatform::later([answer, typed] {
                answer({typed != "-", typed == "-" ? "" : typed});
            });
        };
        AppModel& model = make();
        model.setChinese(c.chinese);
        std::string path = image("image.img", 1 << 20);
        chooseLocalAndDrive(model, path, drive);
        Cancellation* flag = nullptr;
        onList_ = [&](int n) {
            if (n == c.cancelAtListing) flag->cancel();
        };
        if (c.recheck)
            onList_ = [&](int n) {
                if (n == 2) drives_ = *c.recheck;
            };
        pages_.clear();
        model.perform(false);
        flag = &model.cancellation();
        ASSERT_TRUE(idle(model));
        onList_ = nullptr;

        const int confirms = static_cast<int>(
            std::count_if(platform_.calls.begin(), platform_.calls.end(),
                          [](const std::string& call) { return call.rfind("confirm ", 0) == 0; }));
        EXPECT_EQ(confirms, c.confirms);
        EXPECT_EQ(model.error(), c.error);
        EXPECT_EQ(writes_, c.error.isEmpty() ? 1 : 0);
        if (c.error.isEmpty()) {
            EXPECT_EQ(pages_, (std::vector<Page>{AppModel::Progress, AppModel::Complete}));
            EXPECT_EQ(writtenSource_, fs::canonical(path).string());
            EXPECT_EQ(str(model.status()["stage"]), "complete");
            EXPECT_EQ(model.status()["completed"].toLongLong(), 1 << 20);
            EXPECT_TRUE(model.targetID().isEmpty());
            model.back();
            EXPECT_EQ(model.page(), AppModel::Home);
            EXPECT_TRUE(model.local().isEmpty() && model.selected().isEmpty());
            continue;
        }
        EXPECT_EQ(pages_, (std::vector<Page>{AppModel::Progress, AppModel::Prepare}));
        EXPECT_EQ(model.prepared(), QString::fromStdString(fs::canonical(path).string()));
        EXPECT_EQ(log().back().second, c.error == kCancelled && !c.chinese ? "Operation cancelled."
                                                                           : c.error.toStdString());
        EXPECT_EQ(log().back().first, "inspecting");
    }
}

// Catches: a second operation or a listing started while one runs (two writers, a changed drive
// list under the confirmation); a worker running while the confirmation is open; an old raised
// flag cancelling the next operation; a new preparation that keeps the old file.
TEST_F(AppModelTest, OneOperationAtATime) {
    std::function<void(EraseAnswer)> pending;
    platform_.onConfirm = [&](const EraseConfirmation&, std::function<void(EraseAnswer)> a) {
        pending = std::move(a);
    };
    AppModel& model = make();
    std::string path = image("image.img", 1 << 20);
    chooseLocalAndDrive(model, path);
    const int listed = listings_;

    // No drive, or no image, changes nothing.
    AppModel& bare = *new AppModel(ProcessorInventory(), platform_, services_);
    std::unique_ptr<AppModel> owner(&bare);
    bare.perform(false);
    bare.perform(true);
    EXPECT_FALSE(bare.busy());
    EXPECT_EQ(bare.page(), AppModel::Home);
    model.setTargetID("");
    model.perform(false);
    EXPECT_FALSE(model.busy());
    model.setTargetID(QString::fromStdString(kDrive.id()));

    model.perform(false);
    ASSERT_TRUE(settle([&] { return bool(pending); }));
    EXPECT_TRUE(model.busy());
    model.perform(true);
    model.refreshDrives();
    model.back();
    EXPECT_FALSE(model.downloadingOnly());
    EXPECT_FALSE(model.refreshing());
    EXPECT_EQ(model.page(), AppModel::Progress);
    EXPECT_EQ(listings_, listed + 1);  // the re-check alone
    model.cancel();
    pending({true, "sdkv"});
    ASSERT_TRUE(idle(model));
    EXPECT_EQ(model.error(), kCancelled);  // the writer saw the raised flag
    EXPECT_EQ(writes_, 1);

    platform_.onConfirm = testing::TestPlatform().onConfirm;
    model.perform(false);
    ASSERT_TRUE(idle(model));
    EXPECT_EQ(model.page(), AppModel::Complete);
    EXPECT_EQ(writes_, 2);
}

// Catches: a listing error that never clears, or that clears another error; a chosen drive kept
// after it left the list or dropped while still there; the image not protected; the timer
// listing on other pages or while busy; `load` running twice.
TEST_F(AppModelTest, DriveListingAndTimer) {
    AppModel& model = make();
    std::string path = image("image.img", 1 << 20);
    chooseLocalAndDrive(model, path);
    EXPECT_EQ(protectedPaths_, std::vector<std::string>{fs::canonical(path).string()});

    TargetDisk other{"sdx", "Other", 1 << 30, 9, "USB"};
    struct Step {
        std::optional<std::string> failure;
        std::vector<TargetDisk> drives;
        QString error;
        bool keepsTarget;
    } steps[] = {
        {std::nullopt, {other, kDrive}, "", true},
        {"Invalid external drive inventory.",
         {kDrive},
         "USB: Invalid external drive inventory.",
         false},
        {std::nullopt, {kDrive}, "", false},
    };
    for (const Step& s : steps) {
        listFailure_ = s.failure;
        drives_ = s.drives;
        model.refreshDrives();
        ASSERT_TRUE(idle(model));
        EXPECT_EQ(model.error(), s.error);
        EXPECT_EQ(model.targetID().isEmpty(), !s.keepsTarget);
        EXPECT_EQ(model.targets().size(), s.failure ? 0u : s.drives.size());
    }
    model.setTargetID(QString::fromStdString(kDrive.id()));
    drives_ = {other};
    model.refreshDrives();
    ASSERT_TRUE(idle(model));
    EXPECT_TRUE(model.currentTarget().isEmpty());

    // An error of another kind survives a good listing.
    drives_ = {kDrive};
    model.refreshDrives();
    ASSERT_TRUE(idle(model));
    model.setTargetID(QString::fromStdString(kDrive.id()));
    writeFailure_ = "Disk on fire.";
    model.perform(false);
    ASSERT_TRUE(idle(model));
    model.refreshDrives();
    ASSERT_TRUE(idle(model));
    EXPECT_EQ(model.error(), "Disk on fire.");

    model.load();
    model.load();
    ASSERT_TRUE(settle(
        [&] { return refreshes_ == 1 && str(model.catalogue()["catalogueVersion"]) == "fresh"; }));
    const auto timers = model.findChildren<QTimer*>();
    ASSERT_EQ(timers.size(), 1);
    const auto entries = log();
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const auto& e) { return e.first == "startup"; }),
              1);
    EXPECT_EQ(entries.back().second.rfind("Korvex Imager 0.8.1 Linux ", 0), 0u);
    struct Tick {
        Page page;
        bool busy;
        int listings;
    } ticks[] = {{AppModel::Prepare, false, 1},
                 {AppModel::Home, false, 0},
                 {AppModel::Catalogue, false, 0},
                 {AppModel::Prepare, true, 0}};
    for (const Tick& t : ticks) {
        model.setPage(t.page);
        std::function<void(EraseAnswer)> pending;
        if (t.busy) {
            platform_.onConfirm = [&](const EraseConfirmation&,
                                      std::function<void(EraseAnswer)> a) { pending = a; };
            model.setTargetID(QString::fromStdString(kDrive.id()));
            model.perform(false);
            ASSERT_TRUE(settle([&] { return bool(pending); }));
            model.setPage(AppModel::Prepare);
        }
        const int before = listings_;
        QMetaObject::invokeMethod(timers.front(), "timeout");
        ASSERT_TRUE(settle([&] { return !model.refreshing(); }));
        EXPECT_EQ(listings_ - before, t.listings) << t.page;
        if (pending) pending({false, ""});
        ASSERT_TRUE(idle(model));
    }
    model.load();
    ASSERT_TRUE(settle([&] { return refreshes_ == 2; }));
}

// Catches: the shipped catalogue lost when the refresh fails, its note missing, or the failure
// neither shown nor logged; a choice from another page not remembered by `back`.
TEST_F(AppModelTest, LoadingAndNavigation) {
    refreshFails_ = true;
    AppModel& model = make();
    model.load();
    ASSERT_TRUE(settle([&] { return !model.error().isEmpty(); }));
    EXPECT_EQ(str(model.catalogue()["catalogueVersion"]), "shipped");
    EXPECT_EQ(model.catalogueNote(), "Internal test catalogue");
    EXPECT_EQ(model.error(), QString::fromStdString(reasonText("catalogue", false)));
    EXPECT_EQ(log().back(), std::make_pair(std::string("catalogue"),
                                           std::string("Catalogue signature is invalid.")));
    EXPECT_EQ(str(model.profile()["cpu"]), "Intel Core i5-1135G7");

    // A shipped catalogue that no longer verifies: no catalogue, no note, no refresh.
    testing::TempDir resources;
    for (const char* name : {"catalogue-config.json", "catalogue-bundled.json"})
        fs::copy_file(fs::path(KVI_SOURCE_RESOURCES) / name, resources.file(name));
    auto envelope =
        nlohmann::json::parse(testing::readFile(resources.file("catalogue-bundled.json")));
    std::string signature = envelope["signature"];
    signature[0] = signature[0] == 'A' ? 'B' : 'A';
    envelope["signature"] = signature;
    testing::writeFile(resources.file("catalogue-bundled.json"), envelope.dump());
    services_.bundled = [&] { return SignedCatalogue::bundled(resources.path()); };
    refreshes_ = 0;
    AppModel& broken = *new AppModel(ProcessorInventory(), platform_, services_);
    std::unique_ptr<AppModel> owner(&broken);
    broken.load();
    ASSERT_TRUE(settle([&] { return !broken.error().isEmpty(); }));
    EXPECT_TRUE(broken.catalogue().isEmpty());
    EXPECT_TRUE(broken.catalogueNote().isEmpty());
    EXPECT_EQ(refreshes_, 0);
    EXPECT_EQ(log().back(), std::make_pair(std::string("catalogue"),
                                           std::string("Catalogue signature is invalid.")));
    refreshFails_ = false;

    // From the catalogue to a catalogue image, then a local file chosen on `prepare`: `back`
    // returns to the catalogue.
    model.setPage(AppModel::Catalogue);
    model.choose("nomad", "intel-trial", AppModel::Catalogue);
    EXPECT_EQ(model.page(), AppModel::Prepare);
    EXPECT_EQ(model.trialReason(), "intel-trial");
    EXPECT_EQ(str(model.selected()["id"]), "nomad");
    platform_.file = image("image.img", 512);
    model.chooseLocal();
    ASSERT_TRUE(settle([&] { return !model.local().isEmpty() && !model.refreshing(); }));
    EXPECT_TRUE(model.selected().isEmpty());
    EXPECT_TRUE(model.trialReason().isEmpty());
    EXPECT_EQ(model.localName(), "image.img");
    // A name the writer's request cannot carry is refused at once, and the choice stays.
    platform_.file = image("bad-\xff.img", 512);
    model.chooseLocal();
    ASSERT_TRUE(settle([&] { return !model.error().isEmpty(); }));
    EXPECT_EQ(model.localName(), "image.img");
    platform_.file.reset();  // a dismissed panel changes nothing
    model.chooseLocal();
    drain();
    EXPECT_EQ(model.localName(), "image.img");
    model.back();
    EXPECT_EQ(model.page(), AppModel::Catalogue);
    model.back();
    EXPECT_EQ(model.page(), AppModel::Home);
}

// Catches: a graphics guess from the wrong name or with several devices; `other` keeping the
// host's processor; the host's rules used for another computer; filtering that is case-sensitive,
// drops images without a product, or shows retired ones; texts not following the language.
TEST_F(AppModelTest, HardwareCatalogueAndLanguage) {
    struct Guess {
        std::vector<std::string> gpus;
        bool other;
        const char* graphics;
    } guesses[] = {
        {{"Intel Iris Xe Graphics"}, false, "integrated"},
        {{"AMD Radeon Pro 5500M"}, false, "amd"},
        {{"NVIDIA GeForce RTX 3060"}, false, "nvidia"},
        {{"Intel UHD Graphics", "NVIDIA GeForce RTX 3060"}, false, "unknown"},
        {{"Matrox G200"}, false, "unknown"},
        {{"Intel Iris Xe Graphics"}, true, "unknown"},
    };
    AppModel* model = nullptr;
    for (const Guess& g : guesses) {
        host_.gpuNames = g.gpus;
        model = &make();
        model->load();
        ASSERT_TRUE(settle([&] {
            return refreshes_ > 0 && str(model->catalogue()["catalogueVersion"]) == "fresh";
        }));
        refreshes_ = 0;
        model->beginHardware(g.other);
        EXPECT_EQ(model->graphics(), g.graphics);
        EXPECT_EQ(model->cpu(), g.other ? "" : "Intel Core i5-1135G7");
        EXPECT_EQ(model->page(), AppModel::Hardware);
    }

    struct Filter {
        const char* product;
        const char* search;
        std::vector<QString> ids;
    } filters[] = {
        {"tower", "", {"tower", "plain"}},     {"nomad", "thinkpad x", {"nomad"}},
        {"nomad", "KORVEX", {"nomad"}},        {"nomad", "zzz", {}},
        {"boards", "", {"pi", "edge", "odd"}},
    };
    for (const Filter& f : filters) {
        model->setProduct(f.product);
        model->setSearch(f.search);
        std::vector<QString> ids;
        for (const QVariant& v : model->images()) ids.push_back(v.toMap()["id"].toString());
        EXPECT_EQ(ids, f.ids) << f.product << " / " << f.search;
    }

    int announced = 0;
    for (auto signal : {&AppModel::selectedChanged, &AppModel::imagesChanged,
                        &AppModel::recommendationChanged, &AppModel::progressLabelChanged})
        QObject::connect(model, signal, [&] { ++announced; });
    model->choose("pi", "", AppModel::Catalogue);
    announced = 0;
    const QString english =
        model->selected()["releaseDetails"].toList()[0].toMap()["label"].toString();
    model->setChinese(true);
    EXPECT_EQ(announced, 4);
    EXPECT_NE(model->selected()["releaseDetails"].toList()[0].toMap()["label"].toString(), english);
    EXPECT_EQ(model->progressLabel(), QString::fromUtf8("正在校验镜像"));

    struct Language {
        std::vector<std::string> list;
        bool chinese;
    } languages[] = {
        {{"zh-Hans-CN", "en-GB"}, true}, {{"en-CN", "zh-Hans-CN"}, false}, {{}, false}};
    for (const Language& l : languages) {
        platform_.languages = l.list;
        EXPECT_EQ(make().chinese(), l.chinese);
    }
}

// Catches: a guide for the wrong product or board; an address glued to the host that names
// another host; the cache cleared of the wrong files, or while busy; a file of another user or a
// symbolic link moved to the Bin; the download folder not kept resolved.
TEST_F(AppModelTest, WebsiteGuideAndCache) {
    AppModel& model = make();
    model.load();
    ASSERT_TRUE(settle(
        [&] { return refreshes_ == 1 && str(model.catalogue()["catalogueVersion"]) == "fresh"; }));
    struct Guide {
        const char* image;
        const char* url;
    } guides[] = {
        {"tower",
         "https://www.korvex.example/help/knowledge-base/installation-guides/korvex-tower/"
         "install-korvex-tower/"},
        {"pi",
         "https://www.korvex.example/help/knowledge-base/installation-guides/korvex-boards/"
         "raspberry-pi/"},
        {"edge",
         "https://www.korvex.example/help/knowledge-base/installation-guides/korvex-boards/"
         "khadas-edge2/"},
        {"odd", "https://www.korvex.example/help/knowledge-base/"},
        {"plain", "https://www.korvex.example/help/knowledge-base/"},
    };
    for (const Guide& g : guides) {
        platform_.calls.clear();
        model.choose(g.image, "", AppModel::Catalogue);
        model.guide();
        EXPECT_EQ(platform_.calls, std::vector<std::string>{std::string("url ") + g.url});
        ASSERT_TRUE(idle(model));
    }
    platform_.calls.clear();
    model.setChinese(true);
    for (const char* path : {"/help/", ".evil.example/", "@evil.example/", "", "/a b"})
        model.open(path);
    EXPECT_EQ(platform_.calls, std::vector<std::string>{"url https://cn.korvex.example/help/"});
    model.setChinese(false);
    platform_.calls.clear();
    model.showDiagnostics();
    EXPECT_EQ(platform_.calls, std::vector<std::string>{"reveal " + Diagnostics::url()});
    EXPECT_EQ(log().back().first, "diagnostics");

    // The download folder: kept with links resolved; the cache follows it.
    fs::create_directory(home_.file("real"));
    fs::create_directory_symlink(home_.file("real"), home_.file("link"));
    platform_.folder = home_.file("link");
    model.changeDownloadFolder();
    ASSERT_TRUE(
        settle([&] { return model.cacheFolder().toStdString() == home_.file("real/Images"); }));
    platform_.calls.clear();
    model.revealDownloads();
    EXPECT_EQ(platform_.calls, std::vector<std::string>{"folder " + home_.file("real/Images")});

    const std::string cached =
        home_.file("real/Images/") + ImageDownload::fileName(testCatalogue("x").images[1]);
    struct Clear {
        const char* name;
        bool finished, partial, foreign;
        bool trashWorks;
        std::vector<bool> remain;  // finished, partial
        bool cleared;
    } clears[] = {
        {"partial only", false, true, false, true, {false, false}, true},
        {"both", true, true, false, true, {false, false}, true},
        {"Bin refuses", true, true, false, false, {true, true}, false},
        {"partial of another user", true, true, true, true, {false, true}, false},
    };
    for (const Clear& c : clears) {
        SCOPED_TRACE(c.name);
        if (c.foreign && !testing::isRoot()) continue;  // only root can give a file away
        if (c.finished) testing::writeFile(cached, "image");
        if (c.partial) testing::writeFile(cached + ".part", "part");
        if (c.foreign) {
            ASSERT_EQ(chown((cached + ".part").c_str(), getuid() + 1, getgid()), 0);
        }
        platform_.trashWorks = c.trashWorks;
        model.choose("plain", "", AppModel::Catalogue);
        ASSERT_TRUE(idle(model));
        model.clearSelectedCache();
        drain();
        EXPECT_EQ(fs::exists(cached), c.remain[0]);
        EXPECT_EQ(fs::exists(cached + ".part"), c.remain[1]);
        EXPECT_EQ(model.error().isEmpty(), c.cleared) << model.error().toStdString();
        fs::remove(cached);
        fs::remove(cached + ".part");
        platform_.calls.clear();
    }
}

// Catches: a catalogue image written without being held to its entry; a download-only run that
// does not show the file or leaves the model busy; a failed download that is not logged with the
// stage it failed in.
TEST_F(AppModelTest, DownloadsFromTheCatalogue) {
    const std::string bytes = testing::noise(1 << 20, 5);
    server_.serveFile("/good.img", bytes);
    server_.serveFile("/other.img", testing::noise(1 << 20, 6));
    server_.route("/cut.img", [&](const testing::HttpRequest&, testing::HttpsConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + bytes.substr(0, 1000));
        c.dropConnection();
    });
    auto entry = [&](const std::string& path, std::int64_t expanded) {
        ImageVariant v = variant("dl" + path.substr(1, 3), "tower", std::nullopt, std::nullopt);
        v.downloadUrl = server_.url(path);
        v.compressedSize = static_cast<std::int64_t>(bytes.size());
        v.expandedSize = expanded;
        v.sha256 = ImageIO::digest(bytes);
        return v;
    };
    struct Case {
        const char* name;
        ImageVariant image;
        bool downloadOnly;
        QString error;
        std::string stage;  // logged with the failure
    } cases[] = {
        {"download only", entry("/good.img", 1 << 20), true, "", ""},
        {"write", entry("/good.img", 1 << 20), false, "", ""},
        {"expands otherwise", entry("/good.img", 2 << 20), false,
         "Image content does not match the signed catalogue.", "inspecting"},
        {"other bytes", entry("/other.img", 1 << 20), false,
         "Downloaded image checksum is invalid. Remove the partial download and retry.",
         "checking"},
        {"cut mid-way", entry("/cut.img", 1 << 20), false, "The network connection was lost.",
         "downloading"},
    };
    AppModel& model = make();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform_.calls.clear();
        writes_ = 0;
        model.choose(c.image, "", AppModel::Catalogue);
        ASSERT_TRUE(idle(model));
        model.setTargetID(QString::fromStdString(kDrive.id()));
        model.perform(c.downloadOnly);
        ASSERT_TRUE(idle(model));
        EXPECT_EQ(model.error(), c.error);
        if (!c.error.isEmpty()) {
            EXPECT_EQ(model.page(), AppModel::Prepare);
            EXPECT_EQ(log().back(), std::make_pair(c.stage, c.error.toStdString()));
            continue;
        }
        const std::string file = model.prepared().toStdString();
        EXPECT_EQ(testing::readFile(file), bytes);
        EXPECT_EQ(fs::path(file).parent_path(), fs::path(model.cacheFolder().toStdString()));
        if (c.downloadOnly) {
            EXPECT_EQ(model.page(), AppModel::Prepare);
            EXPECT_EQ(platform_.calls, std::vector<std::string>{"reveal " + file});
            EXPECT_EQ(writes_, 0);
        } else {
            EXPECT_EQ(model.page(), AppModel::Complete);
            EXPECT_EQ(writtenSource_, file);
        }
    }
}

}  // namespace
}  // namespace korvex
