#include "writer/writer_main.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

#include "core/base/base64.hpp"
#include "core/base/unique_fd.hpp"
#include "core/base/utf8_text.hpp"
#include "core/native/native.h"
#include "core/records/imager_error.hpp"
#include "writer/heartbeat.hpp"
#include "writer/signal_cancellation.hpp"
#include "writer/sleep_inhibitor.hpp"

namespace korvex {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSendRetryPause = std::chrono::milliseconds(10);

// The first `limit` characters of `text`, made well-formed UTF-8 first so the event encodes.
std::string eventMessage(const std::string& text, std::size_t limit) {
    return firstCodePoints(repairUtf8(text), limit);
}

// The one report of a failure from the peer check on: its stage follows the flag.
void report(int channel, const Cancellation& cancellation, const std::string& description) {
    std::string stage = cancellation.isCancelled() ? "cancelled" : "error";
    try {
        WriterMain::event(
            channel,
            WriteEvent{stage, 0, 0, eventMessage(description, WriterMain::kMaxMessageLength)});
    } catch (const std::exception&) {
        // The application is gone; there is no one left to tell.
    }
}

std::optional<WriteRequest> acceptedRequest(int argc, const char* const* argv) {
    if (geteuid() != 0 || argc != 2)
        return std::nullopt;  // "Administrator authorisation is required."
    auto json = decodeBase64(argv[1], WriterMain::kMaxRequestBytes);
    if (!json) return std::nullopt;  // "Invalid write request."
    try {
        WriteRequest request = decodeWriteRequest(*json);
        request.validate();
        return request;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

void WriterMain::event(int channel, const WriteEvent& event) {
    std::string line = encode(event);
    line.push_back('\n');
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(kSendDeadlineSeconds));
    std::size_t sent = 0;
    while (sent < line.size()) {
        // Never waits inside send, even before the channel is made non-blocking: the deadline
        // holds.
        ssize_t n =
            send(channel, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        bool retry = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        if (!retry || Clock::now() >= deadline)
            throw ImagerError("Imager disconnected. Writing stopped.");
        std::this_thread::sleep_for(kSendRetryPause);
    }
}

int WriterMain::main(int argc, const char* const* argv, DiskFacts& facts) {
    // A vanished application must fail a send, not end the process.
    signal(SIGPIPE, SIG_IGN);
    Cancellation cancellation;
    // Whoever stops the writer by a signal (a shutdown, an administrator) gets the same orderly
    // end as a "cancel" line: the device flushed and closed, the "cancelled" report sent.
    std::optional<SignalCancellation> signals;
    try {
        signals.emplace(cancellation);
    } catch (const std::exception&) {
        return 1;
    }

    std::optional<WriteRequest> request = acceptedRequest(argc, argv);
    if (!request) return 1;
    UniqueFd channel(kvi_unix_connect(request->socket.c_str()));
    if (!channel) return 1;  // "The Imager session is no longer available."

    std::uint32_t peer = 0;
    if (kvi_peer_uid(channel.get(), &peer) != 1 || peer != request->uid) {
        report(channel.get(), cancellation, "Invalid Imager channel owner.");
        return 1;
    }
    fcntl(channel.get(), F_SETFL, O_NONBLOCK);

    Heartbeat heartbeat(channel.get(), cancellation);
    SleepInhibitor inhibitor;
    std::string failure;
    try {
        heartbeat.start();
        event(channel.get(), WriteEvent{"connected", 0, 0, request->nonce});
        inhibitor.acquire();
        perform(
            *request, cancellation, [&channel](const WriteEvent& e) { event(channel.get(), e); },
            facts);
        event(channel.get(), WriteEvent{"complete", request->inspection.expanded,
                                        request->inspection.expanded, std::nullopt});
        heartbeat.stop();
        return 0;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "Writing failed.";
    }
    inhibitor.release();
    heartbeat.stop();
    report(channel.get(), cancellation, failure);
    return 1;
}

}  // namespace korvex
