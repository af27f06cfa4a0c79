// korvex-imager-walk LOOP WRITER IMAGE PICTURE: the window of korvex-imager over the system's
// services, but with the loop device LOOP presented as the USB disk "sdkv" and writes through the
// test writer WRITER. It walks the flow with the local IMAGE through the window, as a person would,
// and saves the complete page to PICTURE (PNG). Exits 0 then; otherwise names the failed step.
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QTest>
#include <QUrl>
#include <cstdio>

#include "app/model/writer_client.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/ui_fixture.hpp"

using korvex::AppModel;
using korvex::testing::UiFixture;

namespace {

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
    UiFixture ui(std::move(services));
    AppModel& model = ui.model();
    if (!ui.window()) return failed("the window did not load", model);
    if (!QTest::qWaitForWindowExposed(ui.window(), 20000))
        return failed("the window was never shown", model);
    auto shows = [&](const char* name, int ms = 20000) {
        return UiFixture::waitFor([&] { return ui.find(name) != nullptr; }, ms);
    };

    // Home: "Use a local image", answered through Qt's own file chooser (drawn in the window, as
    // there is no desktop's), which takes the file as a click in its list would.
    if (!shows("localRow")) return failed("no local image row on the home page", model);
    ui.click("localRow");
    if (!shows("fileChooser")) return failed("the file chooser did not open", model);
    QObject* panel = nullptr;
    for (QObject* o : ui.window()->findChildren<QObject*>())
        if (o->inherits("QQuickFileDialogImpl")) panel = o;
    if (!panel) return failed("the file chooser is not Qt's own", model);
    panel->setProperty("currentFolder", QUrl::fromLocalFile(QFileInfo(image).absolutePath()));
    panel->setProperty("selectedFile", QUrl::fromLocalFile(image));
    QTest::qWait(200);
    QMetaObject::invokeMethod(ui.find("fileChooser"), "accept");

    // Prepare: the loop device's row, then "Create USB", then the drive's name typed.
    if (!UiFixture::waitFor([&] { return model.page() == AppModel::Prepare && ui.find("target_sdkv"); },
                            60000))
        return failed("the drive never showed on the prepare page", model);
    QTest::qWait(100);  // the list settles before it is clicked
    ui.click("target_sdkv");
    if (!UiFixture::waitFor([&] { return ui.item("createButton") && ui.item("createButton")->isEnabled(); }, 20000))
        return failed("\"Create USB\" stayed disabled after choosing the drive", model);
    ui.click("createButton");
    if (!shows("alertField", 60000)) return failed("no typed confirmation", model);
    QTest::qWait(300);  // the dialog's opening transition
    ui.click("alertField");
    ui.type(korvex::testing::kTestDriveName);
    ui.click("alertAccept");

    if (!UiFixture::waitFor([&] { return model.page() == AppModel::Complete || !model.busy(); },
                            300000) ||
        model.page() != AppModel::Complete)
        return failed("the write did not reach the complete page", model);
    auto ready = [&] {
        for (QQuickItem* i : ui.visible())
            if (i->property("text").toString() == QStringLiteral("Your USB is ready")) return true;
        return false;
    };
    if (!UiFixture::waitFor(ready, 20000))
        return failed("the complete page does not say the USB is ready", model);
    QTest::qWait(300);
    if (!ui.window()->grabWindow().save(QString::fromLocal8Bit(argv[4]), "PNG"))
        return failed("the picture could not be saved", model);
    return 0;
}
