#include "writer/sleep_inhibitor.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>

namespace korvex {
namespace {

// A logind that is not running would otherwise keep us waiting for the bus's own 25 s.
constexpr uint64_t kAnswerTimeoutUsec = 2'000'000;

}  // namespace

void SleepInhibitor::acquire() noexcept {
    if (fd_) return;
    sd_bus* bus = nullptr;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int lockFd = -1;
    if (sd_bus_open_system(&bus) >= 0 &&
        sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       "Inhibit") >= 0 &&
        sd_bus_message_append(call, "ssss", "sleep:idle", "Korvex Imager",
                              "Korvex Imager USB write", "block") >= 0 &&
        sd_bus_call(bus, call, kAnswerTimeoutUsec, &error, &reply) >= 0 &&
        sd_bus_message_read(reply, "h", &lockFd) >= 0 && lockFd >= 0) {
        // The reply owns its descriptor; ours must outlive it.
        fd_ = UniqueFd(fcntl(lockFd, F_DUPFD_CLOEXEC, 3));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
}

}  // namespace korvex
