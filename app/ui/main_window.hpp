// The one window of the application, loaded from the compiled-in QML over a model, its platform
// seam and its shell. Shared by the program, its tests and the screenshot tool.
#pragma once

#include <QQmlApplicationEngine>
#include <QQuickWindow>

namespace korvex {

class AppModel;
class DesktopServices;
class Shell;

// Makes `model`, `services` and `shell` the singletons Model, Desk and Shell of the QML import
// "Korvex.Imager.Backend" for `engine`, and loads the window. Returns nullptr when the QML
// fails to load (its errors are on standard error). The three must outlive the engine.
QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, AppModel& model,
                             DesktopServices& services, Shell& shell);

}  // namespace korvex
