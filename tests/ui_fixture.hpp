// UiFixture: the real window over a real AppModel, and the means to find, click and wait for what
// it shows. By default over a stand-in back end: a catalogue of three images that match a small
// file on disk, a drive list the test edits, downloads and writes that report progress and may be
// held at a gate, and a desktop whose languages and preferences live in memory.
#pragma once

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/model/app_model.hpp"
#include "app/ui/desktop_services.hpp"
#include "app/ui/shell.hpp"

namespace korvex::testing {

// The window's dialogs kept; the browser, file manager and Bin never reached.
class QuietDesktop : public DesktopServices {
  public:
    explicit QuietDesktop(std::vector<std::string> languages) : languages_(std::move(languages)) {}
    void revealFile(const std::string&) override {}
    void openFolder(const std::string&) override {}
    void openUrl(const std::string&) override {}
    bool moveToTrash(const std::string&) override { return true; }
    std::vector<std::string> preferredLanguages() const override { return languages_; }
    std::optional<std::string> string(std::string_view key) const override;
    void setString(const std::string& key, const std::string& value) override;

  private:
    std::vector<std::string> languages_;
    mutable std::mutex lock_;
    std::map<std::string, std::string, std::less<>> preferences_;
};

// What the stand-in back end does; shared with its worker threads.
struct BackEnd {
    std::mutex lock;
    std::vector<TargetDisk> drives;
    // While true, a download (or a write) reports its first progress, then waits for open().
    bool holdDownload = false;
    bool holdWrite = false;
    std::string listError;  // when not empty, listing drives fails with it
    std::atomic<int> writes = 0;
    bool sawCancel = false;  // a held operation ended by its cancellation flag

    void setDrives(std::vector<TargetDisk> list) {
        std::lock_guard<std::mutex> hold(lock);
        drives = std::move(list);
    }
    void open() {  // lets held operations finish
        std::lock_guard<std::mutex> hold(lock);
        holdDownload = holdWrite = false;
    }
};

class UiFixture {
  public:
    // Over the stand-in back end; `folder` holds the image file and the download folder.
    UiFixture(const std::string& folder, std::vector<std::string> languages);
    explicit UiFixture(AppServices services);  // over `services` and the system's desktop
    ~UiFixture();

    // The application on the offscreen platform, drawn in software; made once, kept until exit.
    static void startOffscreen();
    // Processes events until `done` holds or `ms` passes; returns `done()`.
    static bool waitFor(const std::function<bool()>& done, int ms = 5000) {
        return QTest::qWaitFor(done, ms);
    }
    static void settle(int ms = 150) { QTest::qWait(ms); }

    AppModel& model() { return *model_; }
    DesktopServices& desk() { return *desk_; }
    Shell& shell() { return *shell_; }
    BackEnd& backEnd() { return *backEnd_; }
    QQuickWindow* window() { return window_; }

    // The visible items, popups and dialogs named `name`.
    std::vector<QObject*> findAll(const QString& name) const;
    QObject* find(const QString& name) const;
    QQuickItem* item(const QString& name) const { return qobject_cast<QQuickItem*>(find(name)); }
    std::vector<QQuickItem*> visible() const;  // the visible items, dialogs included
    void click(const QString& name);           // the middle of the item, which must be shown
    void type(const char* text);               // key by key into the focused item
    // The tower image chosen (with `reason`, from `from`) and the first drive selected.
    bool toPrepare(const QString& reason = {}, AppModel::Page from = AppModel::Catalogue);
    // Takes the stand-in through every page, the erase confirmation, the quit guard and the file
    // chooser, calling `at` in each state; false when a state is never reached.
    bool tour(const std::function<void(const char* state)>& at);

    static TargetDisk drive(const std::string& bsd, std::uint64_t capacity);
    static constexpr const char* kTower = "korvex-tower-24";  // besides a nomad and a boards image

  private:
    void open(AppServices services);

    std::string imagePath_;
    std::shared_ptr<BackEnd> backEnd_ = std::make_shared<BackEnd>();
    std::unique_ptr<DesktopServices> desk_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<Shell> shell_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QQuickWindow* window_ = nullptr;
    int pathTicket_ = 0;  // the last file request's
};

}  // namespace korvex::testing
