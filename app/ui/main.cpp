// korvex-imager: the windowed application.
#include <QGuiApplication>
#include <QIcon>
#include <QSessionManager>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/catalogue/processor_inventory.hpp"
#include "app/model/app_model.hpp"
#include "app/ui/desktop_services.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/shell.hpp"

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Qt would abort with a long message of its own; a person without a desktop needs one line.
bool displayAvailable() {
    const std::string platform = environment("QT_QPA_PLATFORM");
    const bool x11 = !environment("DISPLAY").empty();
    const bool wayland = !environment("WAYLAND_DISPLAY").empty();
    if (platform.empty()) return x11 || wayland;
    if (platform.rfind("xcb", 0) == 0) return x11;
    if (platform.rfind("wayland", 0) == 0) return wayland;
    return true;  // offscreen, vnc, eglfs and the like need no display server
}

}  // namespace

int main(int argc, char** argv) {
    if (!displayAvailable()) {
        std::fprintf(stderr,
                     "korvex-imager: no graphical display (DISPLAY and WAYLAND_DISPLAY are not "
                     "set); use korvex-imager-cli instead.\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Korvex Imager"));
    QGuiApplication::setOrganizationName(QStringLiteral("Korvex"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.korvex.imager"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.png")));

    korvex::DesktopServices services;
    korvex::AppModel model(korvex::ProcessorInventory::load(), services,
                           korvex::AppModel::systemServices());
    korvex::Shell shell(model, services);
    shell.handleSignals();
    QObject::connect(&shell, &korvex::Shell::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // The session is ending: no dialog can be shown, so it is treated as a terminate request.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &shell,
                     [&shell](QSessionManager&) { shell.terminate(); });

    QQmlApplicationEngine engine;
    QQuickWindow* window = korvex::loadMainWindow(engine, model, services, shell);
    if (!window) return 1;
    // The back end starts once the window has been drawn for the first time.
    bool loaded = false;
    QObject::connect(window, &QQuickWindow::frameSwapped, &model, [&model, &loaded] {
        if (loaded) return;
        loaded = true;
        model.load();
    });
    const int status = app.exec();
    // A question still open (the program quit while idle) is answered while the model lives.
    services.dismissAll();
    return status;
}
