// kvi-screenshots FOLDER: every page of the window, the erase confirmation and the quit guard, in
// Chinese and in English, at the smallest (760 x 600) and the default (1024 x 760) window size, as
// PNG files in FOLDER; a page taller than the window also scrolled to its end ("-end").
#include <QDir>
#include <cstdio>

#include "tests/ui_fixture.hpp"

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
        const QString stem = QStringLiteral("%1/%2-%3-%4x%5").arg(folder, name, language)
                                 .arg(size.width()).arg(size.height());
        ui.window()->grabWindow().save(stem + QStringLiteral(".png"));
        ++saved;
        last = name;
        const double overflow = scroller ? scroller->property("contentHeight").toDouble() -
                                               scroller->property("height").toDouble() : 0;
        if (overflow <= 1) continue;
        scroller->setProperty("contentY", overflow);
        UiFixture::settle(150);
        ui.window()->grabWindow().save(stem + QStringLiteral("-end.png"));
        ++saved;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kvi-screenshots FOLDER\n");
        return 2;
    }
    UiFixture::startOffscreen();
    const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(folder);
    for (const QString& language : {QStringLiteral("zh"), QStringLiteral("en")}) {
        const QString work = folder + "/.work-" + language;
        QDir().mkpath(work);
        UiFixture ui(work.toStdString(), {language == "zh" ? "zh-Hans-CN" : "en-GB"});
        auto at = [&](const char* state) { grab(ui, folder, state, language); };
        if (!ui.window() || ui.model().images().isEmpty() || !ui.tour(at)) {
            std::fprintf(stderr, "kvi-screenshots: the %s window stopped after %s\n",
                         qPrintable(language), qPrintable(last));
            return 1;
        }
    }
    QDir(folder + "/.work-zh").removeRecursively();
    QDir(folder + "/.work-en").removeRecursively();
    std::printf("%d pictures in %s\n", saved, qPrintable(folder));
    return 0;
}
