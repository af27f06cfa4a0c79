#include "app/ui/shutdown_inhibitor.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace korvex {

namespace {

// Returns an owned descriptor for logind's delay lock, or -1.
int askLogind() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return -1;
    // The bus may exist without logind behind it; bus activation would otherwise wait 25 s.
    sd_bus_set_method_call_timeout(bus, 2'000'000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "shutdown", "Korvex Imager", "A drive is being written and verified",
                           "delay") >= 0) {
        int borrowed = -1;
        // The descriptor belongs to the message; keep a duplicate of our own.
        if (sd_bus_message_read(reply, "h", &borrowed) >= 0 && borrowed >= 0)
            fd = fcntl(borrowed, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return fd;
}

}  // namespace

ShutdownInhibitor::ShutdownInhibitor() : worker_([this] { run(); }) {}

ShutdownInhibitor::~ShutdownInhibitor() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        wanted_ = false;
    }
    changed_.notify_all();
    worker_.join();
}

void ShutdownInhibitor::hold(bool wanted) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        wanted_ = wanted;
    }
    changed_.notify_all();
}

bool ShutdownInhibitor::held() const {
    std::lock_guard<std::mutex> hold(lock_);
    return fd_ >= 0;
}

void ShutdownInhibitor::run() {
    std::unique_lock<std::mutex> guard(lock_);
    bool tried = false;  // one request per busy period; a refusal is not retried
    for (;;) {
        changed_.wait(guard, [&] {
            return stopping_ || (wanted_ && fd_ < 0 && !tried) || (!wanted_ && (fd_ >= 0 || tried));
        });
        if (!wanted_) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
            tried = false;
            if (stopping_) return;
            continue;
        }
        tried = true;
        guard.unlock();
        const int fd = askLogind();
        guard.lock();
        // Released while logind was answering: let the lock go at once.
        if (!wanted_ || stopping_) {
            if (fd >= 0) ::close(fd);
        } else {
            fd_ = fd;
        }
    }
}

}  // namespace korvex
