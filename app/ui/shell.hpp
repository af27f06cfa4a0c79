// Shell: the quit and close guards of the window, the terminate requests of the system, and the
// shutdown lock, for one AppModel.
//
// One rule for every way out: while the model is busy nothing quits or closes. The window's own
// requests (Ctrl+Q, closing the window) show the guard dialog, whose "Cancel operation" raises the
// operation's cancellation; the program still keeps running until the user asks again. A request
// from the system (SIGTERM, SIGINT, SIGHUP) cannot show a dialog: it raises the cancellation,
// dismisses any open question, and the program quits once the operation has reported its end.
// Interface thread only.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "app/ui/shutdown_inhibitor.hpp"

namespace korvex {

class AppModel;
class DesktopServices;

class Shell : public QObject {
    Q_OBJECT

  public:
    Shell(AppModel& model, DesktopServices& services, QObject* parent = nullptr);
    ~Shell() override;

    // Ctrl+Q and the session's quit: quits when idle, else asks for the guard dialog.
    Q_INVOKABLE void requestQuit();
    // The window's close request: true when it may close; false while busy (the guard is asked for).
    Q_INVOKABLE bool allowClose();
    // The guard dialog's "Cancel operation".
    Q_INVOKABLE void cancelOperation();

    // A terminate request from the system: quit when idle, else cancel and quit when it ends.
    void terminate();
    // Routes SIGTERM, SIGINT and SIGHUP into terminate() through a socket pair (once a process).
    void handleSignals();

  signals:
    // The window shows the guard dialog: `closing` for the window's close, else for quitting.
    void guardRequested(bool closing);
    // The program should end now.
    void quitRequested();

  private:
    void busyChanged();

    AppModel& model_;
    DesktopServices& services_;
    ShutdownInhibitor inhibitor_;
    bool quitWhenIdle_ = false;
    std::unique_ptr<QSocketNotifier> signals_;
};

}  // namespace korvex
