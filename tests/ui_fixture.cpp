#include "tests/ui_fixture.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QQuickItem>
#include <QThread>
#include <QTimer>
#include <fstream>
#include <random>

#include "app/catalogue/processor_inventory.hpp"
#include "app/model/app_paths.hpp"
#include "app/ui/main_window.hpp"
#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"

namespace korvex::testing {

RecordingDesktop::RecordingDesktop(std::vector<std::string> languages)
    : languages_(std::move(languages)) {}

void RecordingDesktop::revealFile(const std::string& path) { opened.push_back("reveal " + path); }
void RecordingDesktop::openFolder(const std::string& path) { opened.push_back("folder " + path); }
void RecordingDesktop::openUrl(const std::string& url) { opened.push_back("url " + url); }
bool RecordingDesktop::moveToTrash(const std::string& path) {
    opened.push_back("trash " + path);
    return true;
}
std::vector<std::string> RecordingDesktop::preferredLanguages() const { return languages_; }

std::optional<std::string> RecordingDesktop::string(std::string_view key) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = preferences_.find(key);
    if (it == preferences_.end()) return std::nullopt;
    return it->second;
}

void RecordingDesktop::setString(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> hold(lock_);
    preferences_[key] = value;
}

void BackEnd::setDrives(std::vector<TargetDisk> list) {
    std::lock_guard<std::mutex> hold(lock);
    drives = std::move(list);
}

void BackEnd::open() {
    {
        std::lock_guard<std::mutex> hold(lock);
        holdDownload = false;
        holdWrite = false;
    }
    changed.notify_all();
}

namespace {

// Reports `total` in two steps, holding after the first while the gate is shut.
void progressThrough(BackEnd& back, bool BackEnd::*held, const std::string& stage,
                     std::int64_t total,
                     const Cancellation& cancel,
                     const std::function<void(const WriteEvent&)>& progress) {
    // An unknown total still reports bytes done.
    progress(WriteEvent{.stage = stage, .completed = total > 0 ? total * 2 / 5 : 419'430,
                        .total = total});
    std::unique_lock<std::mutex> hold(back.lock);
    while (back.*held) {
        if (cancel.isCancelled()) {
            back.sawCancel = true;
            throw ImagerError::cancelled();
        }
        back.changed.wait_for(hold, std::chrono::milliseconds(20));
    }
    hold.unlock();
    progress(WriteEvent{.stage = stage, .completed = total, .total = total});
}

ImageVariant image(const char* id, const char* name, const char* product, const char* board,
                   const std::string& sha, std::int64_t size, const char* date) {
    ImageVariant v;
    v.id = id;
    v.name = name;
    v.version = "24.06";
    v.releaseDate = date;
    v.platform = "24-0601";
    v.changelogPath = "/release/korvex-24-06/";
    v.downloadUrl = std::string("https://images.korvex.test/") + id + ".img";
    v.compression = "none";
    v.compressedSize = size;
    v.expandedSize = size;
    v.sha256 = sha;
    v.product = product;
    v.board = board;
    v.architecture = "x86_64";
    return v;
}

}  // namespace

TargetDisk UiFixture::drive(const std::string& bsd, std::uint64_t capacity) {
    return TargetDisk{.bsd = bsd, .name = "SanDisk Ultra Fit", .capacity = capacity,
                      .registryID = 40 + static_cast<std::uint64_t>(bsd.back()), .bus = "USB"};
}

UiFixture::UiFixture(const std::string& folder, std::vector<std::string> languages)
    : imagePath_(folder + "/korvex-tower-24.06.img"), downloads_(folder + "/downloads"),
      backEnd_(std::make_shared<BackEnd>()) {
    std::string bytes(1 << 20, '\0');
    std::mt19937 noise(7);
    for (char& c : bytes) c = static_cast<char>(noise());
    std::ofstream(imagePath_, std::ios::binary).write(bytes.data(), std::ssize(bytes));
    const std::string sha = ImageIO::digest(bytes);
    const auto size = static_cast<std::int64_t>(bytes.size());

    Catalogue catalogue;
    catalogue.schemaVersion = 1;
    catalogue.catalogueVersion = "2024.06.1";
    catalogue.generatedAt = "2024-06-01T00:00:00Z";
    catalogue.images = {
        image(kTower, "Korvex 24", "tower", "amd64-korvex_iris", sha, size, "2024-06-01"),
        image(kNomad, "Korvex 24 Nomad", "nomad", "amd64-korvex_slim", sha, size, "2024-05-20"),
        image(kBoard, "Korvex 24 for Raspberry Pi 5", "boards", "rpi5-korvex", sha, size, "2024-05-12"),
    };
    backEnd_->drives = {drive("sdb", 31'914'983'424ULL)};

    AppServices services;
    auto back = backEnd_;
    services.listDrives = [back](const std::vector<std::string>&) {
        std::lock_guard<std::mutex> hold(back->lock);
        if (!back->listError.empty()) throw ImagerError(back->listError);
        return back->drives;
    };
    services.probe = [] {
        return DeviceProfile{.manufacturer = "Framework", .model = "Laptop 13",
                             .cpu = "12th Gen Intel(R) Core(TM) i5-1240P",
                             .gpuNames = {"Intel Corporation Alder Lake-P Integrated Graphics"}};
    };
    services.bundled = [catalogue] { return std::pair{catalogue, CatalogueConfig{}}; };
    services.refresh = [](const Catalogue& current, const CatalogueConfig&) { return current; };
    services.fetch = [back, path = imagePath_](const ImageVariant& image, const std::string&,
                                               const Cancellation& cancel,
                                               const std::function<void(const WriteEvent&)>& progress) {
        std::int64_t total = image.compressedSize;
        {
            std::lock_guard<std::mutex> hold(back->lock);
            if (back->downloadTotal >= 0) total = back->downloadTotal;
        }
        progressThrough(*back, &BackEnd::holdDownload, "downloading", total, cancel, progress);
        return path;
    };
    services.write = [back](const std::string&, const Inspection& inspection, const TargetDisk&,
                            Cancellation& cancel,
                            const std::function<void(const WriteEvent&)>& progress) {
        {
            std::lock_guard<std::mutex> hold(back->lock);
            ++back->writes;
        }
        progressThrough(*back, &BackEnd::holdWrite, "writing", inspection.expanded, cancel, progress);
    };
    services.log = [](const std::string&, const std::string&) {};
    services.websiteChinese = "https://www.korvex.test";
    services.websiteEnglish = "https://korvex.test";
    services.videoChinese = "https://video.korvex.test/zh";
    services.videoEnglish = "https://video.korvex.test/en";

    desk_ = std::make_unique<RecordingDesktop>(std::move(languages));
    desk_->setString(std::string(kDownloadDirectoryKey), downloads_);
    model_ = std::make_unique<AppModel>(ProcessorInventory::load(), *desk_, std::move(services));
    shell_ = std::make_unique<Shell>(*model_, *desk_);
    QObject::connect(desk_.get(), &DesktopServices::eraseRequested,
                     [this](int ticket, const QString&, const QString&, const QString&,
                            const QString&, const QString& placeholder) {
                         eraseTicket_ = ticket;
                         erasePlaceholder_ = placeholder;
                     });
    QObject::connect(desk_.get(), &DesktopServices::fileRequested,
                     [this](int ticket) { pathTicket_ = ticket; });
    QObject::connect(desk_.get(), &DesktopServices::folderRequested,
                     [this](int ticket) { pathTicket_ = ticket; });
    engine_ = std::make_unique<QQmlApplicationEngine>();
    window_ = loadMainWindow(*engine_, *model_, *desk_, *shell_);
    if (window_) {
        window_->show();
        model_->load();
        waitFor([this] { return !model_->images().isEmpty(); });
    }
}

UiFixture::~UiFixture() {
    backEnd_->open();
    desk_->dismissAll();
    engine_.reset();
    shell_.reset();
    model_.reset();
}

bool UiFixture::waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void UiFixture::settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QObject* UiFixture::find(const QString& name) const {
    const std::vector<QObject*> all = findAll(name);
    return all.empty() ? nullptr : all.front();
}

std::vector<QObject*> UiFixture::findAll(const QString& name) const {
    std::vector<QObject*> found;
    if (!window_) return found;
    // Items by the visual tree (delegates have no QObject parent); hidden branches are skipped.
    // Popups and dialogs are not items: they count while their "visible" is true.
    std::function<void(QQuickItem*)> walk = [&](QQuickItem* item) {
        if (!item->isVisible()) return;
        if (item->objectName() == name) found.push_back(item);
        for (QObject* object : item->findChildren<QObject*>(name, Qt::FindDirectChildrenOnly))
            if (!qobject_cast<QQuickItem*>(object) && object->property("visible").toBool())
                found.push_back(object);
        for (QQuickItem* child : item->childItems()) walk(child);
    };
    walk(window_->contentItem());
    return found;
}

}  // namespace korvex::testing
