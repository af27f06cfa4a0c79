// WriterMain: the privileged writer's session and its one write.
//
// main() checks that it runs as root, decodes and validates the request (its one argument, Base64
// of the request's JSON), connects to the application's channel and proves that the channel
// belongs to the requesting user, then keeps the channel watched (Heartbeat), keeps the machine
// awake (SleepInhibitor) and runs perform(), forwarding every progress event. It ends with a
// "complete" event and status 0, or with one "error" or "cancelled" event (which of the two is
// decided by the cancellation flag, not by the kind of failure) and status 1. Before the channel
// is proven it says nothing to anyone. SIGINT, SIGTERM and SIGHUP raise the cancellation, as a
// "cancel" line does, for the whole run.
//
// Everything runs on the calling thread except the heartbeat and the signal watcher. The disk
// facts are a parameter so that a test build can present its own drive; the shipped writer
// passes the system's.
#pragma once

#include <functional>
#include <string>

#include "core/records/cancellation.hpp"
#include "core/records/records.hpp"
#include "core/system/disk_facts.hpp"

namespace korvex {

struct WriterMain {
    // Largest decoded request accepted, in bytes.
    static constexpr std::size_t kMaxRequestBytes = 16384;
    // Longest message carried by the final event, in characters.
    static constexpr std::size_t kMaxMessageLength = 1000;
    // How long one event may wait for room in the channel.
    static constexpr double kSendDeadlineSeconds = 3.0;

    using Progress = std::function<void(const WriteEvent&)>;

    // The whole program; returns the exit status (0 or 1).
    static int main(int argc, const char* const* argv, DiskFacts& facts);

    // Sends one event as a JSON line. Retries for up to 3 s while the channel has no room.
    // Throws ImagerError "Imager disconnected. Writing stopped." when it cannot be sent.
    static void event(int channel, const WriteEvent& event);

    // The write itself, with every check repeated at the last moment: the drive must still be
    // listed unchanged, the image must still be the approved one, the drive is unmounted, opened
    // exclusively, proven and sized, and only then written and read back. Throws ImagerError
    // (or the errors of the parts it calls, unchanged). The device is flushed and closed on every
    // path once opened.
    static void perform(const WriteRequest& request, Cancellation& cancellation,
                        const Progress& progress, DiskFacts& facts);
};

}  // namespace korvex
