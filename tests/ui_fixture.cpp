#include "tests/ui_fixture.hpp"

#include <QGuiApplication>
#include <QTest>
#include <QThread>
#include <QUrl>

#include "app/catalogue/processor_inventory.hpp"
#include "app/model/preferences.hpp"
#include "app/ui/main_window.hpp"
#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "tests/fixtures.hpp"

namespace korvex::testing {

std::optional<std::string> QuietDesktop::string(std::string_view key) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = preferences_.find(key);
    return it == preferences_.end() ? std::nullopt : std::optional(it->second);
}

void QuietDesktop::setString(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> hold(lock_);
    preferences_[key] = value;
}

namespace {

// Reports `total` in two steps, holding after the first while the gate is shut.
void progressThrough(BackEnd& back, bool BackEnd::*held, const std::string& stage,
                     std::int64_t total, const Cancellation& cancel,
                     const std::function<void(const WriteEvent&)>& progress) {
    progress(WriteEvent{.stage = stage, .completed = total * 2 / 5, .total = total});
    for (std::unique_lock<std::mutex> hold(back.lock); back.*held; hold.lock()) {
        if (cancel.isCancelled()) {
            back.sawCancel = true;
            throw ImagerError::cancelled();
        }
        hold.unlock();
        QThread::msleep(20);
    }
    progress(WriteEvent{.stage = stage, .completed = total, .total = total});
}

ImageVariant image(const char* id, const char* name, const char* product, const char* board,
                   const std::string& sha, std::int64_t size, const char* date) {
    return {.id = id, .name = name, .version = "24.06", .releaseDate = date,
            .platform = "24-0601", .changelogPath = "/release/korvex-24-06/",
            .downloadUrl = std::string("https://images.korvex.test/") + id + ".img",
            .compression = "none", .compressedSize = size, .expandedSize = size, .sha256 = sha,
            .product = product, .board = board, .architecture = "x86_64"};
}

}  // namespace

TargetDisk UiFixture::drive(const std::string& bsd, std::uint64_t capacity) {
    return TargetDisk{.bsd = bsd, .name = "SanDisk Ultra Fit", .capacity = capacity,
                      .registryID = 40 + static_cast<std::uint64_t>(bsd.back()), .bus = "USB"};
}

UiFixture::UiFixture(const std::string& folder, std::vector<std::string> languages)
    : imagePath_(folder + "/korvex-tower-24.06.img") {
    const std::string bytes = noise(1 << 20, 7), sha = ImageIO::digest(bytes);
    writeFile(imagePath_, bytes);
    const auto size = static_cast<std::int64_t>(bytes.size());
    const Catalogue catalogue{
        .schemaVersion = 1, .catalogueVersion = "2024.06.1", .generatedAt = "2024-06-01T00:00:00Z",
        .images = {
            image(kTower, "Korvex 24", "tower", "amd64-korvex_iris", sha, size, "2024-06-01"),
            image("korvex-nomad-24", "Korvex 24 Nomad", "nomad", "amd64-korvex_slim", sha, size,
                  "2024-05-20"),
            image("korvex-rpi5-24", "Korvex 24 for Raspberry Pi 5", "boards", "rpi5-korvex", sha,
                  size, "2024-05-12")}};
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
    services.fetch = [back, path = imagePath_](
                         const ImageVariant& image, const std::string&, const Cancellation& cancel,
                         const std::function<void(const WriteEvent&)>& progress) {
        progressThrough(*back, &BackEnd::holdDownload, "downloading", image.compressedSize, cancel,
                        progress);
        return path;
    };
    services.write = [back](const std::string&, const Inspection& inspection, const TargetDisk&,
                            Cancellation& cancel,
                            const std::function<void(const WriteEvent&)>& progress) {
        ++back->writes;
        progressThrough(*back, &BackEnd::holdWrite, "writing", inspection.expanded, cancel,
                        progress);
    };
    services.log = [](const std::string&, const std::string&) {};

    desk_ = std::make_unique<QuietDesktop>(std::move(languages));
    desk_->setString(std::string(kDownloadDirectoryKey), folder + "/downloads");
    open(std::move(services));
}

UiFixture::UiFixture(AppServices services) : desk_(std::make_unique<DesktopServices>()) {
    open(std::move(services));
}

void UiFixture::open(AppServices services) {
    model_ = std::make_unique<AppModel>(ProcessorInventory::load(), *desk_, std::move(services));
    shell_ = std::make_unique<Shell>(*model_, *desk_);
    QObject::connect(desk_.get(), &DesktopServices::fileRequested,
                     [this](int ticket) { pathTicket_ = ticket; });
    engine_ = std::make_unique<QQmlApplicationEngine>();
    window_ = loadMainWindow(*engine_, *model_, *desk_, *shell_);
    if (!window_) return;
    window_->show();
    model_->load();
    waitFor([this] { return !model_->images().isEmpty(); });
}

UiFixture::~UiFixture() {
    backEnd_->open();
    desk_->dismissAll();
    engine_.reset();
    shell_.reset();
    model_.reset();
}

void UiFixture::startOffscreen() {
    if (QGuiApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    static int argc = 1;
    static char name[] = "kvi-ui";
    static char* argv[] = {name, nullptr};
    new QGuiApplication(argc, argv);
}

std::vector<QQuickItem*> UiFixture::visible() const {
    std::vector<QQuickItem*> all;
    std::function<void(QQuickItem*)> walk = [&](QQuickItem* i) {
        if (!i->isVisible()) return;
        all.push_back(i);
        for (QQuickItem* child : i->childItems()) walk(child);
    };
    if (window_) walk(window_->contentItem());
    return all;
}

std::vector<QObject*> UiFixture::findAll(const QString& name) const {
    // Items by the visual tree (delegates have no QObject parent); popups and dialogs are not
    // items: they count while their "visible" is true.
    std::vector<QObject*> found;
    for (QQuickItem* item : visible()) {
        if (item->objectName() == name) found.push_back(item);
        for (QObject* object : item->findChildren<QObject*>(name, Qt::FindDirectChildrenOnly))
            if (!qobject_cast<QQuickItem*>(object) && object->property("visible").toBool())
                found.push_back(object);
    }
    return found;
}

QObject* UiFixture::find(const QString& name) const {
    const std::vector<QObject*> all = findAll(name);
    return all.empty() ? nullptr : all.front();
}

void UiFixture::click(const QString& name) {
    QQuickItem* target = item(name);
    const QPointF middle(target->width() / 2, target->height() / 2);
    QTest::mouseClick(window_, Qt::LeftButton, {}, target->mapToScene(middle).toPoint());
    settle(30);
}

void UiFixture::type(const char* text) {
    for (; *text; ++text) QTest::keyClick(window_, *text);
    settle(10);
}

bool UiFixture::toPrepare(const QString& reason, AppModel::Page from) {
    model_->choose(QString::fromLatin1(kTower), reason, from);
    if (!waitFor([this] { return !model_->targets().isEmpty(); })) return false;
    model_->setTargetID(model_->targets().first().toMap().value("id").toString());
    settle(50);
    return true;
}

bool UiFixture::tour(const std::function<void(const char*)>& at) {
    AppModel& model = *model_;
    at("01-home");
    model.beginHardware(true);
    model.setCpu(QStringLiteral("Intel N100"));
    model.setGraphics(QStringLiteral("integrated"));
    at("02-hardware");
    model.setPage(AppModel::Catalogue);
    at("03-catalogue");
    if (!toPrepare(model.recommendation().value("reason").toString(), AppModel::Hardware))
        return false;
    at("04-prepare");
    backEnd_->holdWrite = true;
    model.perform(false);
    if (!waitFor([&] { return find(QStringLiteral("eraseDialog")) != nullptr; })) return false;
    at("05-confirm");
    item(QStringLiteral("alertField"))->setProperty("text", QStringLiteral("sdb"));
    QMetaObject::invokeMethod(find(QStringLiteral("eraseDialog")), "accept");
    if (!waitFor([&] { return model.status().value("stage").toString() == "writing"; }))
        return false;
    at("06-progress");
    shell_->requestQuit();
    at("07-quit-guard");
    QMetaObject::invokeMethod(find(QStringLiteral("guardDialog")), "reject");
    backEnd_->open();
    if (!waitFor([&] { return model.page() == AppModel::Complete; })) return false;
    at("08-complete");
    // A local image, no drive and a failed listing: the banner and the empty target list.
    model.back();
    {
        std::lock_guard<std::mutex> hold(backEnd_->lock);
        backEnd_->listError = "Cannot run lsblk.";
    }
    model.chooseLocal();
    if (!waitFor([&] { return pathTicket_ > 0; })) return false;
    at("09-file-chooser");
    desk_->answerPath(pathTicket_, QUrl::fromLocalFile(QString::fromStdString(imagePath_)));
    if (!waitFor([&] { return !model.error().isEmpty(); })) return false;
    at("10-prepare-local");
    return true;
}

}  // namespace korvex::testing

// Qt, fontconfig and the graphics stack keep caches for the life of the process by design, as
// startOffscreen's application lives until exit; none of that is a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6\nleak:libfontconfig\nleak:libglib\nleak:libdbus\nleak:libgobject\n"
           "leak:startOffscreen\n";
}
