#include "app/model/app_model.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "app/catalogue/hardware_probe.hpp"
#include "app/catalogue/recommender.hpp"
#include "app/catalogue/signed_catalogue.hpp"
#include "app/model/app_paths.hpp"
#include "app/model/catalogue_view.hpp"
#include "app/model/diagnostics.hpp"
#include "app/model/image_download.hpp"
#include "app/model/image_preparation.hpp"
#include "app/model/writer_client.hpp"
#include "core/base/unique_fd.hpp"
#include "core/image/source_file.hpp"
#include "core/records/imager_error.hpp"
#include "core/system/disk_inventory.hpp"

namespace korvex {

namespace {

namespace fs = std::filesystem;

constexpr int kDriveRefreshMilliseconds = 5000;
const std::vector<std::string> kImageExtensions = {"img", "bin", "iso", "zip", "xz", "gz", "zst"};

QString q(const std::string& text) {
    return QString::fromStdString(text);
}
std::string s(const QString& text) {
    return text.toStdString();
}

// Symbolic links resolved where the path exists; otherwise the path as given, so that the
// failure is reported by the step that opens it.
std::string resolved(const std::string& path) {
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    return ec ? path : real.string();
}

QVariantMap imageMap(const ImageVariant& image, bool chinese) {
    QVariantList details;
    for (const ReleaseDetail& d : image.releaseDetails(chinese))
        details.append(QVariantMap{{"id", q(d.id)}, {"label", q(d.label)}, {"value", q(d.value)}});
    // QString::number ignores the locale, which QCoreApplication sets from the environment.
    const QString size =
        QString::number(static_cast<double>(image.compressedSize) / 1e9, 'f', 2) + " GB";
    const std::string changelog = image.changelogPath.value_or("");
    return {{"id", q(image.id)},
            {"name", q(image.name)},
            {"label", q(image.label())},
            {"version", q(image.version)},
            {"releaseDate", q(image.releaseDate)},
            {"product", q(image.product.value_or(""))},
            {"board", q(image.board.value_or(""))},
            {"device", q(image.device.value_or(""))},
            {"compressedSize", QVariant::fromValue<qint64>(image.compressedSize)},
            {"expandedSize", QVariant::fromValue<qint64>(image.expandedSize)},
            {"sizeText", size},
            {"changelogPath", q(changelog)},
            {"changelogSafe", !changelog.empty() && ImageVariant::safeChangelogPath(changelog)},
            {"releaseDetails", details}};
}

QVariantMap targetMap(const TargetDisk& disk) {
    return {{"id", q(disk.id())},
            {"bsd", q(disk.bsd)},
            {"name", q(disk.name)},
            {"bus", q(disk.bus)},
            {"capacity", QVariant::fromValue<quint64>(disk.capacity)},
            {"label", q(disk.label())}};
}

// Deployment settings shipped as "app-config.json" in the resource folder; empty when missing.
void readDeploymentSettings(AppServices& services) {
    try {
        std::ifstream file(fs::path(AppPaths::resourceFolder()) / "app-config.json");
        if (!file) return;
        const nlohmann::json config = nlohmann::json::parse(file);
        auto text = [&](const char* key) {
            auto it = config.find(key);
            return it != config.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        services.websiteChinese = text("websiteChinese");
        services.websiteEnglish = text("websiteEnglish");
        services.videoChinese = text("videoChinese");
        services.videoEnglish = text("videoEnglish");
    } catch (const std::exception& e) {
        Diagnostics::log("startup", std::string("app-config.json: ") + e.what());
    }
}

}  // namespace

struct AppModel::State {
    State(ProcessorInventory inventory, PlatformServices& platform, AppServices services)
        : platform(platform), services(std::move(services)), inventory(std::move(inventory)) {}

    PlatformServices& platform;
    AppServices services;
    ProcessorInventory inventory;

    // Published state.
    Page page = Home;
    bool chinese = false;
    std::optional<korvex::Catalogue> catalogue;
    DeviceProfile profile;
    std::string cpu;
    std::string graphics = "unknown";
    bool other = true;
    std::string product = "tower";
    QString search;
    std::optional<ImageVariant> selected;
    std::optional<std::string> local;
    std::optional<std::string> prepared;
    std::vector<TargetDisk> targets;
    std::string targetID;
    bool busy = false;
    bool refreshing = false;
    bool downloadingOnly = false;
    QString error;
    WriteEvent status{.stage = "checking"};
    // The stage the running operation is in: the writer's closing "error" or "cancelled" event
    // is not a stage of work, so a failure is logged with the stage before it.
    std::string workingStage = "checking";
    std::string trialReason;
    QString catalogueNote;

    // Not announced.
    std::shared_ptr<Cancellation> cancellation = std::make_shared<Cancellation>();
    QTimer* timer = nullptr;
    bool pendingRefresh = false;
    Page previous = Home;

    // Worker threads by number; each is joined on the interface thread when its result arrives,
    // and every one still running is joined by the destructor.
    std::map<std::uint64_t, std::thread> workers;
    std::uint64_t nextWorker = 0;

    // Calls handed to the interface thread by post(), in order, and the event counter that wakes
    // it (watched by `wakeNotifier` on the interface thread).
    std::mutex inboxLock;
    std::deque<std::function<void()>> inbox;
    UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    QSocketNotifier* wakeNotifier = nullptr;

    std::optional<TargetDisk> currentTarget() const {
        for (const TargetDisk& d : targets)
            if (!targetID.empty() && d.id() == targetID) return d;
        return std::nullopt;
    }
};

// What a running write operation captured at its start, and what its preparation produced.
struct AppModel::Operation {
    std::shared_ptr<Cancellation> cancel;
    std::optional<TargetDisk> drive;
    PreparedImage image;
};

AppModel::AppModel(ProcessorInventory inventory, PlatformServices& platform, AppServices services,
                   QObject* parent)
    : QObject(parent),
      state_(std::make_unique<State>(std::move(inventory), platform, std::move(services))) {
    if (!state_->wake) throw std::system_error(errno, std::generic_category(), "eventfd");
    state_->wakeNotifier = new QSocketNotifier(state_->wake.get(), QSocketNotifier::Read, this);
    connect(state_->wakeNotifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(state_->wake.get(), &count, sizeof count);
        deliver();
    });
    const std::vector<std::string> languages = platform.preferredLanguages();
    state_->chinese = !languages.empty() && languages.front().rfind("zh", 0) == 0;
}

AppModel::~AppModel() {
    state_->cancellation->cancel();
    for (auto& [id, worker] : state_->workers)
        if (worker.joinable()) worker.join();
    // The notifier goes before the descriptor it watches.
    delete state_->wakeNotifier;
    // Calls the workers queued and nobody ran are dropped with the queue.
}

AppServices AppModel::systemServices() {
    AppServices services;
    services.listDrives = [](const std::vector<std::string>& paths) {
        return DiskInventory::list(paths);
    };
    services.probe = [] { return HardwareProbe::detect(); };
    services.bundled = [] { return SignedCatalogue::bundled(); };
    services.refresh = [](const korvex::Catalogue& current, const CatalogueConfig& config) {
        return SignedCatalogue::refresh(current, config);
    };
    services.fetch = [](const ImageVariant& image, const std::string& directory,
                        const Cancellation& cancel,
                        const std::function<void(const WriteEvent&)>& progress) {
        return ImageDownload::fetch(image, directory, cancel, progress);
    };
    services.write = [](const std::string& source, const Inspection& inspection,
                        const TargetDisk& target, Cancellation& cancel,
                        const std::function<void(const WriteEvent&)>& progress) {
        WriterClient::write(source, inspection, target, cancel, progress);
    };
    services.log = [](const std::string& stage, const std::string& message) {
        Diagnostics::log(stage, message);
    };
    readDeploymentSettings(services);
    return services;
}

// ---- Worker threads ----------------------------------------------------------------------------

// The destructor joins every worker before this object goes, so a worker never posts to a model
// that is gone; calls still queued then are dropped with the model.
template <typename Result, typename Work, typename Done>
void AppModel::runWorker(Work work, Done done) {
    State& st = *state_;
    const std::uint64_t id = st.nextWorker++;
    auto finish = [this, id, done = std::move(done)](std::optional<Result> result,
                                                     std::exception_ptr failure) mutable {
        auto it = state_->workers.find(id);
        if (it != state_->workers.end()) {
            it->second.join();
            state_->workers.erase(it);
        }
        done(std::move(result), failure);
    };
    st.workers.emplace(
        id, std::thread([this, work = std::move(work), finish = std::move(finish)]() mutable {
            auto result = std::make_shared<std::optional<Result>>();
            std::exception_ptr failure;
            try {
                result->emplace(work());
            } catch (...) {
                failure = std::current_exception();
            }
            post([finish = std::move(finish), result, failure]() mutable {
                finish(std::move(*result), failure);
            });
        }));
}

void AppModel::post(std::function<void()> call) {
    {
        std::lock_guard<std::mutex> hold(state_->inboxLock);
        state_->inbox.push_back(std::move(call));
    }
    const std::uint64_t one = 1;
    // Only a counter overflow fails, and then the interface thread has a wake-up pending anyway.
    [[maybe_unused]] ssize_t n = ::write(state_->wake.get(), &one, sizeof one);
}

void AppModel::deliver() {
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard<std::mutex> hold(state_->inboxLock);
            if (state_->inbox.empty()) return;
            call = std::move(state_->inbox.front());
            state_->inbox.pop_front();
        }
        call();
    }
}

// ---- Drive listing -----------------------------------------------------------------------------

void AppModel::refreshDrives() {
    State& st = *state_;
    if (st.busy || st.refreshing) return;
    st.refreshing = true;
    emit refreshingChanged();
    std::vector<std::string> protect;
    if (st.local)
        protect.push_back(*st.local);
    else if (st.prepared)
        protect.push_back(*st.prepared);
    runWorker<std::vector<TargetDisk>>(
        [list = st.services.listDrives, protect] { return list(protect); },
        [this](std::optional<std::vector<TargetDisk>> drives, std::exception_ptr failure) {
            State& st = *state_;
            const QString oldError = st.error;
            const std::string oldTarget = st.targetID;
            if (drives) {
                st.targets = std::move(*drives);
                if (!st.currentTarget()) st.targetID.clear();
                if (st.error.startsWith("USB:")) st.error.clear();
            } else {
                bool cancelled = false;
                st.targets.clear();
                st.targetID.clear();
                st.error = "USB: " + q(failureText(failure, &cancelled));
            }
            st.refreshing = false;
            emit targetsChanged();
            if (oldTarget != st.targetID) emit targetIDChanged();
            emit currentTargetChanged();
            if (oldError != st.error) emit errorChanged();
            emit refreshingChanged();
        });
}

// ---- Choosing an image
// ---------------------------------------------------------------------------

void AppModel::choose(const QString& imageId, const QString& trial, Page from) {
    if (!state_->catalogue) return;
    for (const ImageVariant& image : state_->catalogue->active())
        if (image.id == s(imageId)) return choose(image, s(trial), from);
}

void AppModel::choose(const ImageVariant& image, const std::string& trial, Page from) {
    State& st = *state_;
    st.selected = image;
    st.local.reset();
    st.prepared.reset();
    st.trialReason = trial;
    st.targetID.clear();
    st.previous = from;
    st.error.clear();
    st.page = Prepare;
    emit selectedChanged();
    emit localChanged();
    emit preparedChanged();
    emit trialReasonChanged();
    emit targetIDChanged();
    emit currentTargetChanged();
    emit errorChanged();
    emit pageChanged();
    refreshDrives();
}

void AppModel::chooseLocal() {
    const bool chinese = state_->chinese;
    QPointer<AppModel> self(this);
    state_->platform.chooseFile(chinese ? "选择镜像文件" : "Choose an image file", kImageExtensions,
                                [self](std::optional<std::string> path) {
                                    if (!self || !path || path->empty()) return;
                                    State& st = *self->state_;
                                    // The command line resolves and refuses paths the same way,
                                    // before anything is inspected.
                                    std::string local;
                                    try {
                                        local = WriterClient::resolveImage(*path);
                                    } catch (const ImagerError& e) {
                                        st.error = e.what();
                                        emit self->errorChanged();
                                        return;
                                    }
                                    if (st.page != Prepare) st.previous = st.page;
                                    st.local = local;
                                    st.selected.reset();
                                    st.prepared.reset();
                                    st.trialReason.clear();
                                    st.targetID.clear();
                                    st.page = Prepare;
                                    st.error.clear();
                                    emit self->localChanged();
                                    emit self->selectedChanged();
                                    emit self->preparedChanged();
                                    emit self->trialReasonChanged();
                                    emit self->targetIDChanged();
                                    emit self->currentTargetChanged();
                                    emit self->pageChanged();
                                    emit self->errorChanged();
                                    self->refreshDrives();
                                });
}

void AppModel::back() {
    State& st = *state_;
    if (st.busy) return;
    st.error.clear();
    emit errorChanged();
    switch (st.page) {
        case Complete:
            st.page = Home;
            st.selected.reset();
            st.local.reset();
            st.targetID.clear();
            emit selectedChanged();
            emit localChanged();
            emit targetIDChanged();
            emit currentTargetChanged();
            break;
        case Prepare:
            st.page = st.previous;
            break;
        default:
            st.page = Home;
            break;
    }
    emit pageChanged();
}

// ---- Prepare and write
// ---------------------------------------------------------------------------

void AppModel::perform(bool downloadOnly) {
    State& st = *state_;
    if (st.busy || (!st.local && !st.selected)) return;
    const std::optional<TargetDisk> drive = st.currentTarget();
    if (!downloadOnly && !drive) return;

    // Only a download needs the folder, so a failure to name it is reported by that step.
    std::string directory;
    std::exception_ptr noDirectory;
    try {
        directory = AppPaths::cache(st.platform);
    } catch (...) {
        noDirectory = std::current_exception();
    }
    st.cancellation = std::make_shared<Cancellation>();
    auto operation = std::make_shared<Operation>();
    operation->cancel = st.cancellation;
    operation->drive = drive;

    st.downloadingOnly = downloadOnly;
    st.busy = true;
    st.page = Progress;
    st.error.clear();
    st.status = WriteEvent{.stage = "checking"};
    st.workingStage = st.status.stage;
    emit downloadingOnlyChanged();
    emit busyChanged();
    emit pageChanged();
    emit errorChanged();
    emit statusChanged();
    emit progressLabelChanged();

    runWorker<PreparedImage>(
        [local = st.local, selected = st.selected, directory, noDirectory,
         fetch = st.services.fetch, cancel = st.cancellation, progress = progressPoster()] {
            return ImagePreparation::prepare(
                local, selected, directory, *cancel, progress,
                [&](const ImageVariant& image, const std::string& folder, const Cancellation& flag,
                    const ProgressCallback& report) {
                    if (noDirectory) std::rethrow_exception(noDirectory);
                    return fetch(image, folder, flag, report);
                });
        },
        [this, operation, downloadOnly](std::optional<PreparedImage> image,
                                        std::exception_ptr failure) {
            if (!image) return fail(failure);
            operation->image = std::move(*image);
            state_->prepared = operation->image.path;
            emit preparedChanged();
            if (downloadOnly) {
                state_->busy = false;
                state_->page = Prepare;
                emit busyChanged();
                emit pageChanged();
                state_->platform.revealFile(operation->image.path);
                return;
            }
            checkDrive(operation);
        });
}

std::function<void(const WriteEvent&)> AppModel::progressPoster() {
    return [this](const WriteEvent& event) {
        post([this, event] {
            state_->status = event;
            if (event.stage != "error" && event.stage != "cancelled")
                state_->workingStage = event.stage;
            emit statusChanged();
            emit progressLabelChanged();
        });
    };
}

void AppModel::checkDrive(const std::shared_ptr<Operation>& operation) {
    try {
        ImagePreparation::checkCapacity(operation->drive, operation->image.inspection,
                                        state_->chinese);
    } catch (...) {
        return fail(std::current_exception());
    }
    runWorker<std::vector<TargetDisk>>(
        [list = state_->services.listDrives, path = operation->image.path] { return list({path}); },
        [this, operation](std::optional<std::vector<TargetDisk>> drives,
                          std::exception_ptr failure) {
            try {
                if (!drives) std::rethrow_exception(failure);
                ImagePreparation::checkStillListed(*operation->drive, *drives);
                if (operation->cancel->isCancelled()) throw ImagerError::cancelled();
            } catch (...) {
                return fail(std::current_exception());
            }
            confirm(operation);
        });
}

void AppModel::confirm(const std::shared_ptr<Operation>& operation) {
    const bool zh = state_->chinese;
    const TargetDisk& drive = *operation->drive;
    EraseConfirmation question{
        .question = {.message = zh ? "清空并写入这个设备？" : "Erase and write this drive?",
                     .informative = drive.label() + "\n\n" +
                                    (zh ? "所有数据将被永久删除。输入设备编号 "
                                        : "All data will be permanently erased. Type the device "
                                          "identifier ") +
                                    drive.bsd + (zh ? " 以确认。" : " to confirm."),
                     .cancelText = zh ? "取消" : "Cancel",
                     .acceptText = zh ? "清空并写入" : "Erase and write",
                     .critical = true},
        .placeholder = drive.bsd};
    QPointer<AppModel> self(this);
    state_->platform.confirmErase(question, [self, operation](EraseAnswer answer) {
        if (!self) return;
        if (!answer.accepted || answer.typed != operation->drive->bsd)
            return self->fail(std::make_exception_ptr(ImagerError::cancelled()));
        self->write(operation);
    });
}

void AppModel::write(const std::shared_ptr<Operation>& operation) {
    runWorker<bool>(
        [write = state_->services.write, operation, progress = progressPoster()] {
            write(operation->image.path, operation->image.inspection, *operation->drive,
                  *operation->cancel, progress);
            return true;
        },
        [this, operation](std::optional<bool> done, std::exception_ptr failure) {
            if (!done) return fail(failure);
            State& st = *state_;
            const std::int64_t expanded = operation->image.inspection.expanded;
            st.busy = false;
            st.page = Complete;
            st.targetID.clear();
            st.status = WriteEvent{.stage = "complete", .completed = expanded, .total = expanded};
            emit busyChanged();
            emit pageChanged();
            emit targetIDChanged();
            emit currentTargetChanged();
            emit statusChanged();
            emit progressLabelChanged();
        });
}

void AppModel::fail(std::exception_ptr failure) {
    State& st = *state_;
    bool cancelled = false;
    const std::string message = failureText(failure, &cancelled);
    st.busy = false;
    st.page = Prepare;
    emit busyChanged();
    emit pageChanged();
    if (st.services.log) st.services.log(st.workingStage, message);
    if (cancelled)
        st.error = st.chinese ? "操作已取消。若已开始写入，请重新制作 U 盘后再使用。"
                              : kWriteCancelled;
    else
        st.error = q(message);
    emit errorChanged();
}

// ---- Catalogue, hardware and recommendation ----------------------------------------------------

void AppModel::load() {
    State& st = *state_;
    if (st.pendingRefresh) return;
    st.pendingRefresh = true;
    if (st.services.log) st.services.log("startup", Diagnostics::startupMessage());

    struct Step {
        std::optional<DeviceProfile> profile;
        std::optional<std::pair<korvex::Catalogue, CatalogueConfig>> bundled;
        std::optional<korvex::Catalogue> refreshed;
    };
    // Each step posts its result as soon as it has one, so the profile and the shipped catalogue
    // show while the network is still being asked.
    runWorker<bool>(
        [services = st.services, this] {
            DeviceProfile profile = services.probe ? services.probe() : DeviceProfile{};
            post([this, profile] {
                state_->profile = profile;
                emit profileChanged();
                emit recommendationChanged();
            });
            std::pair<korvex::Catalogue, CatalogueConfig> shipped = services.bundled();
            post([this, catalogue = shipped.first] {
                state_->catalogue = catalogue;
                state_->catalogueNote = "internal";
                emit catalogueChanged();
                emit catalogueNoteChanged();
                emit imagesChanged();
                emit recommendationChanged();
            });
            korvex::Catalogue refreshed = services.refresh(shipped.first, shipped.second);
            post([this, refreshed] {
                state_->catalogue = refreshed;
                emit catalogueChanged();
                emit imagesChanged();
                emit recommendationChanged();
            });
            return true;
        },
        [this](std::optional<bool> done, std::exception_ptr failure) {
            State& st = *state_;
            if (!done) {
                if (st.services.log) st.services.log("catalogue", failureText(failure));
                st.error = reason("catalogue");
                emit errorChanged();
            }
            st.pendingRefresh = false;
        });

    delete st.timer;
    st.timer = new QTimer(this);
    st.timer->setInterval(kDriveRefreshMilliseconds);
    connect(st.timer, &QTimer::timeout, this, [this] {
        if (state_->page == Prepare && !state_->busy) refreshDrives();
    });
    st.timer->start();
}

void AppModel::beginHardware(bool other) {
    State& st = *state_;
    st.other = other;
    st.cpu = other ? std::string() : st.profile.cpu;
    st.graphics = other ? "unknown" : CatalogueView::guessGraphics(st.profile);
    st.page = Hardware;
    st.error.clear();
    emit otherChanged();
    emit cpuChanged();
    emit graphicsChanged();
    emit recommendationChanged();
    emit pageChanged();
    emit errorChanged();
}

QString AppModel::reason(const QString& key) const {
    return q(reasonText(s(key), state_->chinese));
}

void AppModel::open(const QString& path) {
    const State& st = *state_;
    const std::string& base = st.chinese ? st.services.websiteChinese : st.services.websiteEnglish;
    // The path is appended to a host, so anything but an absolute path could name another host
    // ("x.evil.example/" after "https://www.korvex.example" does).
    if (base.empty() || !path.startsWith('/')) return;
    const QUrl home(q(base), QUrl::StrictMode);
    const QUrl url(q(base) + path, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != "https" || url.host().isEmpty() ||
        url.host() != home.host() || url.port() != home.port())
        return;
    state_->platform.openUrl(s(url.toString(QUrl::FullyEncoded)));
}

void AppModel::guide() {
    const std::optional<ImageVariant>& image = state_->selected;
    const std::string board = image ? image->board.value_or("") : "";
    if (image && image->product == "tower")
        open("/help/knowledge-base/installation-guides/korvex-tower/install-korvex-tower/");
    else if (board == "rpi4-korvex" || board == "rpi5-korvex")
        open("/help/knowledge-base/installation-guides/korvex-boards/raspberry-pi/");
    else if (board == "edge2-korvex")
        open("/help/knowledge-base/installation-guides/korvex-boards/khadas-edge2/");
    else
        open("/help/knowledge-base/");
}

void AppModel::openVideo() {
    const State& st = *state_;
    const std::string& address = st.chinese ? st.services.videoChinese : st.services.videoEnglish;
    const QUrl url(q(address), QUrl::StrictMode);
    if (address.empty() || !url.isValid() || url.scheme() != "https" || url.host().isEmpty())
        return;
    st.platform.openUrl(address);
}

// ---- Download folder and cache
// -------------------------------------------------------------------

void AppModel::changeDownloadFolder() {
    QPointer<AppModel> self(this);
    state_->platform.chooseFolder(state_->chinese ? "选择下载文件夹" : "Choose a download folder",
                                  [self](std::optional<std::string> folder) {
                                      if (!self || !folder || folder->empty()) return;
                                      self->state_->platform.setString(
                                          std::string(kDownloadDirectoryKey), resolved(*folder));
                                      emit self->cacheFolderChanged();
                                  });
}

void AppModel::revealDownloads() {
    State& st = *state_;
    try {
        const std::string folder = AppPaths::cache(st.platform);
        AppPaths::makePrivate(folder);
        st.platform.openFolder(folder);
    } catch (const std::exception& e) {
        st.error = q(e.what());
        emit errorChanged();
    }
}

void AppModel::clearSelectedCache() {
    State& st = *state_;
    if (st.busy || !st.selected) return;
    const bool zh = st.chinese;
    Question question{
        .message = zh ? "清除此镜像的下载缓存？" : "Clear this image's download cache?",
        .informative =
            zh ? "只清除 Imager 管理的这个镜像及未完成下载，不影响你选择的本地文件或其他镜像。"
               : "Only this Imager-managed download and its partial file will be "
                 "moved to the Bin. Local images and other downloads are unchanged.",
        .cancelText = zh ? "取消" : "Cancel",
        .acceptText = zh ? "清除缓存" : "Clear cache"};
    QPointer<AppModel> self(this);
    st.platform.ask(question, [self, image = *st.selected](bool accepted) {
        if (!self || !accepted || self->state_->busy) return;
        State& st = *self->state_;
        try {
            const std::string file =
                (fs::path(AppPaths::cache(st.platform)) / ImageDownload::fileName(image)).string();
            for (const std::string& path : {file, file + ".part"}) {
                std::error_code ec;
                if (!fs::exists(fs::symlink_status(path, ec))) continue;
                SourceFile held(path, static_cast<std::uint32_t>(getuid()), true);
                if (!st.platform.moveToTrash(path))
                    throw ImagerError(st.chinese ? "无法将文件移到回收站。"
                                                 : "Cannot move the file to the Bin.");
            }
        } catch (const std::exception& e) {
            st.error = q(e.what());
            emit self->errorChanged();
            return;
        }
        st.prepared.reset();
        st.error.clear();
        emit self->preparedChanged();
        emit self->errorChanged();
    });
}

void AppModel::showDiagnostics() {
    State& st = *state_;
    if (st.services.log)
        st.services.log("diagnostics", "Opened local diagnostics; no data uploaded.");
    try {
        st.platform.revealFile(Diagnostics::url());
    } catch (const std::exception& e) {
        st.error = q(e.what());
        emit errorChanged();
    }
}

void AppModel::cancel() {
    state_->cancellation->cancel();
}

Cancellation& AppModel::cancellation() {
    return *state_->cancellation;
}

// ---- Property readers
// ----------------------------------------------------------------------------

AppModel::Page AppModel::page() const {
    return state_->page;
}
bool AppModel::chinese() const {
    return state_->chinese;
}

QVariantMap AppModel::catalogue() const {
    if (!state_->catalogue) return {};
    const korvex::Catalogue& c = *state_->catalogue;
    return {{"catalogueVersion", q(c.catalogueVersion)},
            {"generatedAt", q(c.generatedAt)},
            {"imageCount", static_cast<int>(c.images.size())}};
}

QVariantMap AppModel::profile() const {
    const DeviceProfile& p = state_->profile;
    QStringList gpus;
    for (const std::string& name : p.gpuNames) gpus.append(q(name));
    return {{"manufacturer", q(p.manufacturer)},
            {"model", q(p.model)},
            {"cpu", q(p.cpu)},
            {"gpuNames", gpus},
            {"armHost", p.appleSilicon}};
}

QString AppModel::cpu() const {
    return q(state_->cpu);
}
QString AppModel::graphics() const {
    return q(state_->graphics);
}
bool AppModel::other() const {
    return state_->other;
}
QString AppModel::product() const {
    return q(state_->product);
}
QString AppModel::search() const {
    return state_->search;
}

QVariantMap AppModel::selected() const {
    return state_->selected ? imageMap(*state_->selected, state_->chinese) : QVariantMap();
}

QString AppModel::local() const {
    return q(state_->local.value_or(""));
}

QString AppModel::localName() const {
    return state_->local ? q(fs::path(*state_->local).filename().string()) : QString();
}

QString AppModel::prepared() const {
    return q(state_->prepared.value_or(""));
}

QVariantList AppModel::targets() const {
    QVariantList list;
    for (const TargetDisk& d : state_->targets) list.append(targetMap(d));
    return list;
}

QString AppModel::targetID() const {
    return q(state_->targetID);
}
bool AppModel::busy() const {
    return state_->busy;
}
bool AppModel::refreshing() const {
    return state_->refreshing;
}
bool AppModel::downloadingOnly() const {
    return state_->downloadingOnly;
}
QString AppModel::error() const {
    return state_->error;
}

QVariantMap AppModel::status() const {
    const WriteEvent& e = state_->status;
    return {{"stage", q(e.stage)},
            {"completed", QVariant::fromValue<qint64>(e.completed)},
            {"total", QVariant::fromValue<qint64>(e.total)},
            {"message", q(e.message.value_or(""))}};
}

QString AppModel::trialReason() const {
    return q(state_->trialReason);
}

QString AppModel::catalogueNote() const {
    if (state_->catalogueNote.isEmpty()) return {};
    return q(CatalogueView::note(state_->chinese));
}

QVariantMap AppModel::currentTarget() const {
    const std::optional<TargetDisk> target = state_->currentTarget();
    return target ? targetMap(*target) : QVariantMap();
}

QString AppModel::progressLabel() const {
    static const std::map<std::string, std::pair<const char*, const char*>> labels = {
        {"downloading", {"正在下载镜像", "Downloading image"}},
        {"inspecting", {"正在检查镜像内容", "Inspecting image"}},
        {"writing", {"正在写入 U 盘", "Writing USB drive"}},
        {"verifying", {"正在回读校验", "Verifying USB drive"}},
        {"connected", {"正在准备写入", "Preparing to write"}}};
    auto it = labels.find(state_->status.stage);
    const auto& pair = it != labels.end()
                           ? it->second
                           : std::pair<const char*, const char*>{"正在校验镜像", "Checking image"};
    return QString::fromUtf8(state_->chinese ? pair.first : pair.second);
}

QVariantMap AppModel::recommendation() const {
    const State& st = *state_;
    const std::optional<DeviceProfile> host = CatalogueView::host(st.other, st.cpu, st.profile);
    const Recommendation r =
        Recommender::recommend(st.cpu, st.graphics, st.catalogue, st.inventory, host);
    return {{"hasImage", r.image.has_value()},
            {"image", r.image ? imageMap(*r.image, st.chinese) : QVariantMap()},
            {"reason", q(r.reason)},
            {"reasonText", q(reasonText(r.reason, st.chinese))},
            {"trial", r.trial}};
}

QVariantList AppModel::images() const {
    const State& st = *state_;
    QVariantList list;
    for (const ImageVariant& image : CatalogueView::images(st.catalogue, st.product, s(st.search)))
        list.append(imageMap(image, st.chinese));
    return list;
}

QStringList AppModel::cpuSuggestions() const {
    QStringList names;
    for (const ProcessorName& p : state_->inventory.suggestions(state_->cpu))
        names.append(q(p.name));
    return names;
}

QString AppModel::cacheFolder() const {
    try {
        return q(AppPaths::cache(state_->platform));
    } catch (const std::exception&) {
        return {};
    }
}

// ---- Property writers
// ----------------------------------------------------------------------------

void AppModel::setPage(Page page) {
    if (state_->page == page) return;
    state_->page = page;
    emit pageChanged();
}

void AppModel::setChinese(bool chinese) {
    if (state_->chinese == chinese) return;
    state_->chinese = chinese;
    emit chineseChanged();
    emit progressLabelChanged();
    emit recommendationChanged();
    emit imagesChanged();
    emit selectedChanged();
    emit catalogueNoteChanged();
}

void AppModel::setCpu(const QString& cpu) {
    if (state_->cpu == s(cpu)) return;
    state_->cpu = s(cpu);
    emit cpuChanged();
    emit recommendationChanged();
}

void AppModel::setGraphics(const QString& graphics) {
    if (state_->graphics == s(graphics)) return;
    state_->graphics = s(graphics);
    emit graphicsChanged();
    emit recommendationChanged();
}

void AppModel::setProduct(const QString& product) {
    if (state_->product == s(product)) return;
    state_->product = s(product);
    emit productChanged();
    emit imagesChanged();
}

void AppModel::setSearch(const QString& search) {
    if (state_->search == search) return;
    state_->search = search;
    emit searchChanged();
    emit imagesChanged();
}

void AppModel::setTargetID(const QString& id) {
    if (state_->targetID == s(id)) return;
    state_->targetID = s(id);
    emit targetIDChanged();
    emit currentTargetChanged();
}

}  // namespace korvex
