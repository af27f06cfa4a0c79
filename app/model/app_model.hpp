// AppModel: the one observable state of the windowed application, and the whole write flow.
//
// The interface only reads the published properties and calls the invokable operations; every
// decision about what the user may do next, which drive may be written and what the user is told
// lives here. The model is thin: it calls the plain C++ services (disk inventory, download,
// inspection, writer client, signed catalogue, probe, recommender, paths, log) and never
// re-implements them.
//
// Threads: every property is read and written on the thread that owns the object (the interface
// thread). Drive listing, download, inspection, the drive re-check, the write, the probe and the
// catalogue run on worker threads and hand their results back through queued calls; a result or
// progress event that arrives after the model is gone is dropped. The operation's Cancellation is
// the only state shared with workers. The destructor raises the cancellation and waits for the
// workers to end.
//
// Values QML sees (maps, "{}" when absent):
//   image:  id, name, label, version, releaseDate, product, board, device, compressedSize,
//           expandedSize (numbers, bytes), sizeText ("%.2f GB" of compressedSize), changelogPath,
//           changelogSafe (bool), releaseDetails (list of {id, label, value} in the language)
//   target: id, bsd, name, bus, capacity (number), label
//   status: stage, completed, total (numbers), message
//   profile: manufacturer, model, cpu, gpuNames (list), armHost (bool)
//   recommendation: hasImage (bool), image (image map), reason (key), reasonText, trial (bool)
//   catalogue: catalogueVersion, generatedAt, imageCount
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/catalogue/catalogue_model.hpp"
#include "app/catalogue/device_profile.hpp"
#include "app/catalogue/processor_inventory.hpp"
#include "app/model/platform_services.hpp"
#include "core/records/cancellation.hpp"
#include "core/records/records.hpp"

namespace korvex {

// The back-end services the model calls; the defaults (AppModel::systemServices) are the real
// ones. Tests replace single members (a test CA, a test writer, a test drive). Each function is
// called on a worker thread and may throw what the service it stands for throws.
struct AppServices {
    std::function<std::vector<TargetDisk>(const std::vector<std::string>& extraProtectedPaths)>
        listDrives;
    std::function<DeviceProfile()> probe;
    std::function<std::pair<Catalogue, CatalogueConfig>()> bundled;
    std::function<Catalogue(const Catalogue& current, const CatalogueConfig& config)> refresh;
    // Downloads `image` into `directory`, verified; returns the file's path.
    std::function<std::string(const ImageVariant& image, const std::string& directory,
                              const Cancellation& cancel,
                              const std::function<void(const WriteEvent&)>& progress)>
        fetch;
    // The whole write through the privileged writer.
    std::function<void(const std::string& source, const Inspection& inspection,
                       const TargetDisk& target, Cancellation& cancel,
                       const std::function<void(const WriteEvent&)>& progress)>
        write;
    // The diagnostics log: (stage, message).
    std::function<void(const std::string& stage, const std::string& message)> log;
    // Deployment settings: website hosts ("https://host", no trailing slash) and video addresses.
    std::string websiteChinese;
    std::string websiteEnglish;
    std::string videoChinese;
    std::string videoEnglish;
};

class AppModel : public QObject {
    Q_OBJECT

  public:
    enum Page { Home, Hardware, Catalogue, Prepare, Progress, Complete };
    Q_ENUM(Page)

    Q_PROPERTY(Page page READ page WRITE setPage NOTIFY pageChanged)
    Q_PROPERTY(bool chinese READ chinese WRITE setChinese NOTIFY chineseChanged)
    Q_PROPERTY(QVariantMap catalogue READ catalogue NOTIFY catalogueChanged)
    Q_PROPERTY(QVariantMap profile READ profile NOTIFY profileChanged)
    Q_PROPERTY(QString cpu READ cpu WRITE setCpu NOTIFY cpuChanged)
    Q_PROPERTY(QString graphics READ graphics WRITE setGraphics NOTIFY graphicsChanged)
    Q_PROPERTY(bool other READ other NOTIFY otherChanged)
    Q_PROPERTY(QString product READ product WRITE setProduct NOTIFY productChanged)
    Q_PROPERTY(QString search READ search WRITE setSearch NOTIFY searchChanged)
    Q_PROPERTY(QVariantMap selected READ selected NOTIFY selectedChanged)
    Q_PROPERTY(QString local READ local NOTIFY localChanged)
    Q_PROPERTY(QString prepared READ prepared NOTIFY preparedChanged)
    Q_PROPERTY(QVariantList targets READ targets NOTIFY targetsChanged)
    Q_PROPERTY(QString targetID READ targetID WRITE setTargetID NOTIFY targetIDChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool refreshing READ refreshing NOTIFY refreshingChanged)
    Q_PROPERTY(bool downloadingOnly READ downloadingOnly NOTIFY downloadingOnlyChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QVariantMap status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString trialReason READ trialReason NOTIFY trialReasonChanged)
    Q_PROPERTY(QString catalogueNote READ catalogueNote NOTIFY catalogueNoteChanged)

    // Derived, announced when what they derive from changes.
    Q_PROPERTY(QVariantMap currentTarget READ currentTarget NOTIFY currentTargetChanged)
    Q_PROPERTY(QString progressLabel READ progressLabel NOTIFY progressLabelChanged)
    Q_PROPERTY(QVariantMap recommendation READ recommendation NOTIFY recommendationChanged)
    Q_PROPERTY(QVariantList images READ images NOTIFY imagesChanged)
    // Completions for `cpu` from the processor table (names, best first).
    Q_PROPERTY(QStringList cpuSuggestions READ cpuSuggestions NOTIFY cpuChanged)
    // The download cache folder as a path; changes with the download-folder preference.
    Q_PROPERTY(QString cacheFolder READ cacheFolder NOTIFY cacheFolderChanged)
    // The local file's name (last path component), or empty.
    Q_PROPERTY(QString localName READ localName NOTIFY localChanged)

    AppModel(ProcessorInventory inventory, PlatformServices& platform, AppServices services,
             QObject* parent = nullptr);
    ~AppModel() override;

    // The real services, with deployment settings read from the shipped configuration.
    static AppServices systemServices();

    // Operations (interface thread; none returns a value).
    Q_INVOKABLE void refreshDrives();
    Q_INVOKABLE void choose(const QString& imageId, const QString& trial,
                            korvex::AppModel::Page from);
    void choose(const ImageVariant& image, const std::string& trial, Page from);
    Q_INVOKABLE void chooseLocal();
    Q_INVOKABLE void back();
    Q_INVOKABLE void perform(bool downloadOnly);
    Q_INVOKABLE void load();
    Q_INVOKABLE void beginHardware(bool other);
    Q_INVOKABLE QString reason(const QString& key) const;
    Q_INVOKABLE void open(const QString& path);
    Q_INVOKABLE void guide();
    Q_INVOKABLE void openVideo();
    Q_INVOKABLE void changeDownloadFolder();
    Q_INVOKABLE void revealDownloads();
    Q_INVOKABLE void clearSelectedCache();
    // Footer: logs "diagnostics" and shows the log file in the file manager.
    Q_INVOKABLE void showDiagnostics();
    // Raises the current operation's cancellation flag (the progress page, the guards).
    Q_INVOKABLE void cancel();

    // Property readers.
    Page page() const;
    bool chinese() const;
    QVariantMap catalogue() const;
    QVariantMap profile() const;
    QString cpu() const;
    QString graphics() const;
    bool other() const;
    QString product() const;
    QString search() const;
    QVariantMap selected() const;
    QString local() const;
    QString localName() const;
    QString prepared() const;
    QVariantList targets() const;
    QString targetID() const;
    bool busy() const;
    bool refreshing() const;
    bool downloadingOnly() const;
    QString error() const;
    QVariantMap status() const;
    QString trialReason() const;
    QString catalogueNote() const;
    QVariantMap currentTarget() const;
    QString progressLabel() const;
    QVariantMap recommendation() const;
    QVariantList images() const;
    QStringList cpuSuggestions() const;
    QString cacheFolder() const;

    // Property writers (bindings).
    void setPage(Page page);
    void setChinese(bool chinese);
    void setCpu(const QString& cpu);
    void setGraphics(const QString& graphics);
    void setProduct(const QString& product);
    void setSearch(const QString& search);
    void setTargetID(const QString& id);

    // The current operation's flag, for the quit and close guards and tests.
    Cancellation& cancellation();

  signals:
    void pageChanged();
    void chineseChanged();
    void catalogueChanged();
    void profileChanged();
    void cpuChanged();
    void graphicsChanged();
    void otherChanged();
    void productChanged();
    void searchChanged();
    void selectedChanged();
    void localChanged();
    void preparedChanged();
    void targetsChanged();
    void targetIDChanged();
    void busyChanged();
    void refreshingChanged();
    void downloadingOnlyChanged();
    void errorChanged();
    void statusChanged();
    void trialReasonChanged();
    void catalogueNoteChanged();
    void currentTargetChanged();
    void progressLabelChanged();
    void recommendationChanged();
    void imagesChanged();
    void cacheFolderChanged();

  private:
    struct State;
    struct Operation;

    // Runs `work` on a worker thread and then `done` with its result (or its failure) on the
    // interface thread.
    template <typename Result, typename Work, typename Done>
    void runWorker(Work work, Done done);
    // Queues `call` for the interface thread, in order; safe from any thread. The queue has a lock
    // of its own and wakes the interface thread through a descriptor, so nothing Qt allocates
    // crosses threads and the hand-over is visible to ThreadSanitizer, which cannot see the locks
    // inside Qt.
    void post(std::function<void()> call);
    // Runs the calls post() queued, in order (interface thread).
    void deliver();
    // A progress callback for a worker: each event becomes `status` on the interface thread.
    std::function<void(const WriteEvent&)> progressPoster();
    // The steps of a write after the preparation, in order; each ends in the next or in fail().
    void checkDrive(const std::shared_ptr<Operation>& operation);
    void confirm(const std::shared_ptr<Operation>& operation);
    void write(const std::shared_ptr<Operation>& operation);
    void fail(std::exception_ptr failure);

    std::unique_ptr<State> state_;
};

}  // namespace korvex
