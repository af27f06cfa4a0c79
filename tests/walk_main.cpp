// korvex-imager-walk LOOP WRITER IMAGE PICTURE: the window of korvex-imager over the system's
// services, but with the loop device LOOP presented as the USB disk "sdkv" and writes through the
// test writer WRITER. It walks the flow with the local IMAGE through the window, as a person would,
// and saves the complete page to PICTURE (PNG). Exits 0 then; otherwise names the failed step.
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QUrl>
#include <cstdio>

#include "app/model/writer_client.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/ui_fixture.hpp"

using namespace korvex;
using testing::UiFixture;

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
        testing::LoopAsUsbFacts facts(loop);
        return DiskInventory::list(paths, facts);
    };
    AppServices services = AppModel::systemServices();
    services.listDrives = list;
    // A walk never reaches out: the bundled catalogue stays as it is.
    services.refresh = [](const Catalogue& current, const CatalogueConfig&) { return current; };
    services.write = [list, writer](const std::string& source, const Inspection& inspection,
                                    const TargetDisk& target, Cancellation& cancel,
                                    const std::function<void(const WriteEvent&)>& progress) {
        WriterClient::write(source, inspection, target, cancel, progress, {list, writer});
    };
    UiFixture ui(std::move(services));
    AppModel& model = ui.model();
    // Waits up to `seconds` for `done`; false once it has named the step that failed.
    auto step = [&](const char* failure, const std::function<bool()>& done, int seconds = 20) {
        if (UiFixture::waitFor(done, seconds * 1000)) return true;
        std::fprintf(stderr, "korvex-imager-walk: %s (page %d, error \"%s\")\n", failure,
                     int(model.page()), qPrintable(model.error()));
        return false;
    };
    auto shows = [&](const char* name) { return [&ui, name] { return ui.find(name) != nullptr; }; };

    // Home: "Use a local image", answered through Qt's own file chooser (drawn in the window, as
    // there is no desktop's), which takes the file as a click in its list would.
    auto exposed = [&] { return ui.window() && ui.window()->isExposed(); };
    if (!step("the window was never shown", exposed) ||
        !step("no local image row on the home page", shows("localRow")))
        return 1;
    ui.click("localRow");
    QObject* panel = nullptr;
    auto qtChooser = [&] {
        for (QObject* o : ui.window()->findChildren<QObject*>())
            if (o->inherits("QQuickFileDialogImpl")) panel = o;
        return panel != nullptr;
    };
    if (!step("the file chooser did not open", shows("fileChooser")) ||
        !step("the file chooser is not Qt's own", qtChooser))
        return 1;
    panel->setProperty("currentFolder", QUrl::fromLocalFile(QFileInfo(image).absolutePath()));
    panel->setProperty("selectedFile", QUrl::fromLocalFile(image));
    UiFixture::settle(200);
    QMetaObject::invokeMethod(ui.find("fileChooser"), "accept");

    // Prepare: the loop device's row, "Create USB", the drive's name typed and accepted.
    auto onPrepare = [&] { return model.page() == AppModel::Prepare && ui.find("target_sdkv"); };
    if (!step("the drive never showed on the prepare page", onPrepare, 60)) return 1;
    UiFixture::settle(100);  // the list settles before it is clicked
    ui.click("target_sdkv");
    auto createEnabled = [&] { return ui.item("createButton")->isEnabled(); };
    if (!step("\"Create USB\" stayed disabled after choosing the drive", createEnabled)) return 1;
    ui.click("createButton");
    if (!step("no typed confirmation", shows("alertField"), 60)) return 1;
    UiFixture::settle(300);  // the dialog's opening transition
    ui.click("alertField");
    ui.type(testing::kTestDriveName);
    ui.click("alertAccept");

    auto ready = [&] {
        for (QQuickItem* i : ui.visible())
            if (i->property("text").toString() == QStringLiteral("Your USB is ready")) return true;
        return false;
    };
    if (!step("the write did not end", [&] { return !model.busy(); }, 300) ||
        !step("the write did not reach the complete page",
              [&] { return model.page() == AppModel::Complete; }, 0) ||
        !step("the complete page does not say the USB is ready", ready))
        return 1;
    UiFixture::settle(300);
    if (ui.window()->grabWindow().save(QString::fromLocal8Bit(argv[4]), "PNG")) return 0;
    std::fprintf(stderr, "korvex-imager-walk: the picture could not be saved\n");
    return 1;
}
