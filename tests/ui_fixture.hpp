// UiFixture: the real window over a real AppModel whose back end and desktop are stand-ins a test
// controls: a catalogue of three images that match a small image file on disk, a drive list the
// test edits, downloads and writes that report progress and may be held at a gate, and a desktop
// that records what it was asked to open. For the interface tests and the screenshot tool only.
#pragma once

#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/model/app_model.hpp"
#include "app/ui/desktop_services.hpp"
#include "app/ui/shell.hpp"

namespace korvex::testing {

// The desktop seam with Qt's dialogs (QML) kept, and the outside world recorded instead of used.
class RecordingDesktop : public DesktopServices {
  public:
    explicit RecordingDesktop(std::vector<std::string> languages);

    void revealFile(const std::string& path) override;
    void openFolder(const std::string& path) override;
    void openUrl(const std::string& url) override;
    bool moveToTrash(const std::string& path) override;
    std::vector<std::string> preferredLanguages() const override;
    std::optional<std::string> string(std::string_view key) const override;
    void setString(const std::string& key, const std::string& value) override;

    std::vector<std::string> opened;  // every address, folder and file it was asked to show

  private:
    std::vector<std::string> languages_;
    mutable std::mutex lock_;
    std::map<std::string, std::string, std::less<>> preferences_;
};

// What the stand-in back end does; shared with its worker threads.
struct BackEnd {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<TargetDisk> drives;
    // While true, a download (or a write) reports its first progress and then waits for its
    // cancellation or for open().
    bool holdDownload = false;
    bool holdWrite = false;
    // When 0, a download reports its bytes without knowing the total.
    std::int64_t downloadTotal = -1;
    // When not empty, listing drives fails with this message.
    std::string listError;
    int writes = 0;
    bool sawCancel = false;  // a held operation ended by its cancellation flag

    void setDrives(std::vector<TargetDisk> list);
    void open();  // lets held operations finish
};

class UiFixture {
  public:
    // `folder` holds the image file and the download folder; `languages` as the desktop reports.
    UiFixture(const std::string& folder, std::vector<std::string> languages);
    ~UiFixture();

    AppModel& model() { return *model_; }
    RecordingDesktop& desk() { return *desk_; }
    Shell& shell() { return *shell_; }
    BackEnd& backEnd() { return *backEnd_; }
    QQuickWindow* window() { return window_; }

    // Processes events until `done` holds or `ms` passes; returns `done()`.
    static bool waitFor(const std::function<bool()>& done, int ms = 5000);
    // Lets pending layout, images and animations settle.
    static void settle(int ms = 150);

    // The first visible item, popup or dialog named `name` in the window, or nullptr.
    QObject* find(const QString& name) const;
    std::vector<QObject*> findAll(const QString& name) const;
    // The last open erase confirmation's ticket and placeholder, 0 when none was asked.
    int eraseTicket() const { return eraseTicket_; }
    const QString& erasePlaceholder() const { return erasePlaceholder_; }
    // The last file or folder chooser's ticket, 0 when none was asked.
    int pathTicket() const { return pathTicket_; }

    static TargetDisk drive(const std::string& bsd, std::uint64_t capacity);
    // The catalogue's ids: a tower, a nomad and a boards image.
    static constexpr const char* kTower = "korvex-tower-24";
    static constexpr const char* kNomad = "korvex-nomad-24";
    static constexpr const char* kBoard = "korvex-rpi5-24";
    const std::string& imagePath() const { return imagePath_; }

  private:
    std::string imagePath_;
    std::string downloads_;
    std::shared_ptr<BackEnd> backEnd_;
    std::unique_ptr<RecordingDesktop> desk_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<Shell> shell_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QQuickWindow* window_ = nullptr;
    int eraseTicket_ = 0;
    int pathTicket_ = 0;
    QString erasePlaceholder_;
};

}  // namespace korvex::testing
