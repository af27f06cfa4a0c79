#include "app/ui/shell.hpp"

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/model/app_model.hpp"
#include "app/ui/desktop_services.hpp"

namespace korvex {

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full pipe means a request is already waiting; dropping this one loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = saved;
}

}  // namespace

Shell::Shell(AppModel& model, DesktopServices& services, QObject* parent)
    : QObject(parent), model_(model), services_(services) {
    connect(&model_, &AppModel::busyChanged, this, &Shell::busyChanged);
    inhibitor_.hold(model_.busy());
}

Shell::~Shell() = default;

void Shell::requestQuit() {
    if (!model_.busy()) {
        emit quitRequested();
        return;
    }
    emit guardRequested(false);
}

bool Shell::allowClose() {
    if (!model_.busy()) return true;
    emit guardRequested(true);
    return false;
}

void Shell::cancelOperation() {
    model_.cancel();
    // A question the operation waits for (the typed confirmation) would hold the cancellation up.
    services_.dismissAll();
}

void Shell::terminate() {
    if (!model_.busy()) {
        emit quitRequested();
        return;
    }
    quitWhenIdle_ = true;
    cancelOperation();
}

void Shell::busyChanged() {
    const bool busy = model_.busy();
    inhibitor_.hold(busy);
    if (!busy && quitWhenIdle_) emit quitRequested();
}

void Shell::handleSignals() {
    if (signals_) return;
    if (signalPipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    signals_ = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
    connect(signals_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char drained[64];
        while (::read(signalPipe[1], drained, sizeof drained) > 0) {
        }
        terminate();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
}

}  // namespace korvex
