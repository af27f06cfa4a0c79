// kvi-screenshots FOLDER: renders every page of the window, the erase confirmation and the quit
// guard, in Chinese and in English, at the smallest (760 x 600) and the default (1024 x 760)
// window size, to PNG files in FOLDER. A page taller than the window is also taken scrolled to
// its end ("-end"). The model is brought into each state through the stand-in back end.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QQuickItem>
#include <QQuickWindow>
#include <QUrl>
#include <cstdio>
#include <filesystem>

#include "tests/ui_fixture.hpp"

using korvex::AppModel;
using korvex::testing::UiFixture;

namespace {

int saved = 0;
QString last = QStringLiteral("start");  // the last state taken, for the failure message

void grab(UiFixture& ui, const QString& folder, const QString& name, const QString& language) {
    for (const QSize size : {QSize(760, 600), QSize(1024, 760)}) {
        ui.window()->resize(size);
        QObject* scroller = ui.find(QStringLiteral("scroller"));
        if (scroller) scroller->setProperty("contentY", 0);
        UiFixture::settle(250);
        const QString stem = QStringLiteral("%1/%2-%3-%4x%5")
                                 .arg(folder, name, language)
                                 .arg(size.width())
                                 .arg(size.height());
        ui.window()->grabWindow().save(stem + QStringLiteral(".png"));
        ++saved;
        last = name;
        if (!scroller) continue;
        const double overflow = scroller->property("contentHeight").toDouble() -
                                scroller->property("height").toDouble();
        if (overflow <= 1) continue;
        scroller->setProperty("contentY", overflow);
        UiFixture::settle(150);
        ui.window()->grabWindow().save(stem + QStringLiteral("-end.png"));
        ++saved;
    }
}

bool run(const QString& folder, bool chinese) {
    const QString language = chinese ? QStringLiteral("zh") : QStringLiteral("en");
    const std::string work = (folder + QStringLiteral("/.work-") + language).toStdString();
    std::filesystem::create_directories(work);
    UiFixture ui(work, {chinese ? "zh-Hans-CN" : "en-GB"});
    if (!ui.window() || ui.model().images().isEmpty()) return false;
    AppModel& model = ui.model();

    grab(ui, folder, QStringLiteral("01-home"), language);

    model.beginHardware(true);
    model.setCpu(QStringLiteral("Intel N100"));
    model.setGraphics(QStringLiteral("integrated"));
    grab(ui, folder, QStringLiteral("02-hardware"), language);

    model.setPage(AppModel::Catalogue);
    grab(ui, folder, QStringLiteral("03-catalogue"), language);

    const QVariantMap suggestion = model.recommendation();
    model.choose(QString::fromLatin1(UiFixture::kTower), suggestion.value("reason").toString(),
                 AppModel::Hardware);
    if (!UiFixture::waitFor([&] { return !model.targets().isEmpty(); })) return false;
    model.setTargetID(model.targets().first().toMap().value("id").toString());
    grab(ui, folder, QStringLiteral("04-prepare"), language);

    ui.backEnd().holdWrite = true;
    model.perform(false);
    if (!UiFixture::waitFor([&] { return ui.eraseTicket() > 0; })) return false;
    grab(ui, folder, QStringLiteral("05-confirm"), language);

    ui.desk().answerErase(ui.eraseTicket(), true, ui.erasePlaceholder());
    if (!UiFixture::waitFor([&] { return model.status().value("stage").toString() == "writing"; })) return false;
    grab(ui, folder, QStringLiteral("06-progress"), language);

    ui.shell().requestQuit();
    grab(ui, folder, QStringLiteral("07-quit-guard"), language);
    QMetaObject::invokeMethod(ui.find(QStringLiteral("guardDialog")), "reject");

    ui.backEnd().open();
    if (!UiFixture::waitFor([&] { return model.page() == AppModel::Complete; })) return false;
    grab(ui, folder, QStringLiteral("08-complete"), language);

    // A local image, no drive and a failed listing: the banner and the empty target list.
    model.back();
    {
        std::lock_guard<std::mutex> hold(ui.backEnd().lock);
        ui.backEnd().listError = "Cannot run lsblk.";
    }
    model.chooseLocal();
    if (!UiFixture::waitFor([&] { return ui.pathTicket() > 0; })) return false;
    grab(ui, folder, QStringLiteral("09-file-chooser"), language);
    ui.desk().answerPath(ui.pathTicket(), QUrl::fromLocalFile(QString::fromStdString(ui.imagePath())));
    if (!UiFixture::waitFor([&] { return !model.error().isEmpty(); })) return false;
    grab(ui, folder, QStringLiteral("10-prepare-local"), language);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kvi-screenshots FOLDER\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication app(argc, argv);
    const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(folder);
    for (const bool chinese : {true, false}) {
        if (!run(folder, chinese)) {
            std::fprintf(stderr, "kvi-screenshots: the %s window stopped after %s\n",
                         chinese ? "Chinese" : "English", qPrintable(last));
            return 1;
        }
    }
    std::filesystem::remove_all((folder + QStringLiteral("/.work-zh")).toStdString());
    std::filesystem::remove_all((folder + QStringLiteral("/.work-en")).toStdString());
    std::printf("%d pictures in %s\n", saved, qPrintable(folder));
    return 0;
}
