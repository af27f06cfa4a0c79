// korvex-imager-walk: the window of korvex-imager (the same QML module, shell and desktop
// services), whose drive list presents one loop device as a USB disk and whose writes go through
// a test writer; it walks the whole flow with a local image through its own window, as a person
// would, and saves the complete page as a picture. Built with the tests only, never installed.
//
// Usage: korvex-imager-walk LOOP WRITER IMAGE PICTURE
//   LOOP    the loop device shown as the USB disk "sdkv" ("loop3")
//   WRITER  the test writer, where this user may run it through the elevation route
//   IMAGE   the local image the file chooser answers with
//   PICTURE where the complete page is saved (PNG)
// Exits 0 when the complete page was reached and saved; otherwise names the step that failed.
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QQuickItem>
#include <QTest>
#include <QUrl>
#include <chrono>
#include <cstdio>
#include <functional>

#include "app/catalogue/processor_inventory.hpp"
#include "app/model/app_model.hpp"
#include "app/model/writer_client.hpp"
#include "app/ui/desktop_services.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/shell.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"

namespace {

using namespace std::chrono_literals;
using korvex::AppModel;

bool waitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > end) return false;
        QTest::qWait(20);
    }
    return true;
}

// The first visible item, popup or dialog named `name` in `window`, or nullptr.
QObject* find(QQuickWindow* window, const QString& name) {
    QObject* found = nullptr;
    std::function<void(QQuickItem*)> walk = [&](QQuickItem* item) {
        if (found || !item->isVisible()) return;
        if (item->objectName() == name) found = item;
        for (QObject* object : item->findChildren<QObject*>(name, Qt::FindDirectChildrenOnly))
            if (!found && !qobject_cast<QQuickItem*>(object) && object->property("visible").toBool())
                found = object;
        for (QQuickItem* child : item->childItems()) walk(child);
    };
    walk(window->contentItem());
    return found;
}

// True when a visible item of `window` shows `text`.
bool showsText(QQuickWindow* window, const QString& text) {
    bool seen = false;
    std::function<void(QQuickItem*)> walk = [&](QQuickItem* item) {
        if (seen || !item->isVisible()) return;
        seen = item->property("text").toString() == text;
        for (QQuickItem* child : item->childItems()) walk(child);
    };
    walk(window->contentItem());
    return seen;
}

int failed(const char* step, const AppModel& model) {
    std::fprintf(stderr, "korvex-imager-walk: %s (page %d, error \"%s\")\n", step,
                 int(model.page()), qPrintable(model.error()));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: korvex-imager-walk LOOP WRITER IMAGE PICTURE\n");
        return 2;
    }
    const std::string loop = argv[1], writer = argv[2];
    const QString image = QFileInfo(QString::fromLocal8Bit(argv[3])).absoluteFilePath();
    const QString picture = QString::fromLocal8Bit(argv[4]);

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Korvex Imager"));
    QGuiApplication::setOrganizationName(QStringLiteral("Korvex"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.png")));

    auto list = [loop](const std::vector<std::string>& paths) {
        korvex::testing::LoopAsUsbFacts facts(loop);
        return korvex::DiskInventory::list(paths, facts);
    };
    korvex::AppServices services = AppModel::systemServices();
    services.listDrives = list;
    // A walk never reaches out: the bundled catalogue stays as it is.
    services.refresh = [](const korvex::Catalogue& current, const korvex::CatalogueConfig&) {
        return current;
    };
    services.write = [list, writer](const std::string& source, const korvex::Inspection& inspection,
                                    const korvex::TargetDisk& target, korvex::Cancellation& cancel,
                                    const std::function<void(const korvex::WriteEvent&)>& progress) {
        korvex::WriterClient::write(source, inspection, target, cancel, progress, {list, writer});
    };

    korvex::DesktopServices desk;
    AppModel model(korvex::ProcessorInventory::load(), desk, std::move(services));
    korvex::Shell shell(model, desk);
    QQmlApplicationEngine engine;
    QQuickWindow* window = korvex::loadMainWindow(engine, model, desk, shell);
    if (!window) return failed("the window did not load", model);
    if (!QTest::qWaitForWindowExposed(window, 20000))
        return failed("the window was never shown", model);
    model.load();

    auto item = [window](const char* name) {
        return qobject_cast<QQuickItem*>(find(window, QString::fromLatin1(name)));
    };
    auto click = [window](QQuickItem* target) {
        QTest::mouseClick(window, Qt::LeftButton, {},
                          target->mapToScene(QPointF(target->width() / 2, target->height() / 2))
                              .toPoint());
    };

    // Home: "Use a local image", answered through the window's own file chooser.
    if (!waitFor([&] { return item("localRow") != nullptr; }, 20s))
        return failed("no local image row on the home page", model);
    click(item("localRow"));
    QObject* chooser = nullptr;
    if (!waitFor([&] { return (chooser = find(window, QStringLiteral("fileChooser"))); }, 20s))
        return failed("the file chooser did not open", model);
    // Qt's own chooser (drawn in the window, as there is no desktop's) takes the file, as a
    // click in its list would, and is accepted.
    QObject* panel = nullptr;
    for (QObject* o : window->findChildren<QObject*>())
        if (o->inherits("QQuickFileDialogImpl")) panel = o;
    if (!panel) return failed("the file chooser is not Qt's own", model);
    panel->setProperty("currentFolder", QUrl::fromLocalFile(QFileInfo(image).absolutePath()));
    panel->setProperty("selectedFile", QUrl::fromLocalFile(image));
    QTest::qWait(200);
    QMetaObject::invokeMethod(chooser, "accept");

    // Prepare: the loop device's row, then "Create USB".
    const char* row = "target_sdkv";
    if (!waitFor([&] { return model.page() == AppModel::Prepare && item(row); }, 60s))
        return failed("the drive never showed on the prepare page", model);
    QTest::qWait(100);  // the list settles before it is clicked
    click(item(row));
    if (!waitFor([&] { return item("createButton") && item("createButton")->isEnabled(); }, 20s))
        return failed("\"Create USB\" stayed disabled after choosing the drive", model);
    click(item("createButton"));

    // The typed confirmation: the drive's name, then the accept button.
    if (!waitFor([&] { return item("alertField") != nullptr; }, 60s))
        return failed("no typed confirmation", model);
    QTest::qWait(300);  // the dialog's opening transition
    click(item("alertField"));
    for (const char* c = korvex::testing::kTestDriveName; *c; ++c) QTest::keyClick(window, *c);
    click(item("alertAccept"));

    if (!waitFor([&] { return model.page() == AppModel::Complete || !model.busy(); }, 300s) ||
        model.page() != AppModel::Complete)
        return failed("the write did not reach the complete page", model);
    if (!waitFor([&] { return showsText(window, QStringLiteral("Your USB is ready")); }, 20s))
        return failed("the complete page does not say the USB is ready", model);
    QTest::qWait(300);
    if (!window->grabWindow().save(picture, "PNG"))
        return failed("the picture could not be saved", model);
    desk.dismissAll();
    return 0;
}

// Qt, fontconfig and the graphics stack keep caches for the life of the process by design; none
// of that is a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6\nleak:libfontconfig\nleak:libglib\nleak:libdbus\nleak:libgobject\n";
}
