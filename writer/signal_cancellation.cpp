#include "writer/signal_cancellation.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace korvex {
namespace {

UniqueFd eventFd() {
    UniqueFd fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) throw std::system_error(errno, std::generic_category(), "eventfd");
    return fd;
}

void raise(int fd) {
    const std::uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) {
        // Only a counter at its maximum refuses, and then the descriptor is readable anyway.
    }
}

}  // namespace

SignalCancellation::SignalCancellation(Cancellation& cancellation)
    : cancellation_(cancellation), stop_(eventFd()), arrived_(eventFd()) {
    sigemptyset(&set_);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    signals_ = UniqueFd(signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals_) {
        int code = errno;
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        throw std::system_error(code, std::generic_category(), "signalfd");
    }
    watcher_ = std::thread([this] { watch(); });
}

SignalCancellation::~SignalCancellation() {
    raise(stop_.get());
    watcher_.join();
    // A signal that came after the watcher's last look still belongs to this operation.
    signalfd_siginfo info;
    while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        cancellation_.cancel();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void SignalCancellation::watch() {
    pthread_setname_np(pthread_self(), "kvi-signals");
    for (;;) {
        pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        signalfd_siginfo info;
        while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            int expected = 0;
            first_.compare_exchange_strong(expected, static_cast<int>(info.ssi_signo));
            cancellation_.cancel();
            raise(arrived_.get());
        }
    }
}

}  // namespace korvex
