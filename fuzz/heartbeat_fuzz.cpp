// Arbitrary bytes from the application, in arbitrary pieces, through the writer's keep-alive rules
// and through its heartbeat over a real socket pair: the buffer stays bounded, and the write is
// stopped exactly when a line other than "ping" arrives or a partial line reaches 1,025 bytes.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/records/cancellation.hpp"
#include "writer/heartbeat.hpp"

namespace {

// The rules written the plain way, over the whole stream with the same piece boundaries: a line
// other than "ping", or a piece that would take the partial line past the bound, stops the write.
bool expectedToStop(const std::vector<std::string_view>& pieces) {
    std::string partial;
    bool stop = false;
    for (std::string_view piece : pieces) {
        stop = stop || partial.size() + piece.size() > korvex::KeepAlive::kMaxBuffered;
        for (char c : piece) {
            if (c != '\n') {
                partial.push_back(c);
                continue;
            }
            stop = stop || partial != "ping";
            partial.clear();
        }
    }
    return stop;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte sets the piece length; the rest is what the application sent.
    std::size_t piece = 1 + data[0] % 300;
    std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at < stream.size(); at += piece)
        pieces.push_back(stream.substr(at, piece));

    const auto now = korvex::KeepAlive::Clock::now();
    korvex::KeepAlive keepAlive(now);
    bool stopped = false;
    for (std::string_view p : pieces) {
        stopped = keepAlive.receive(p, now) || stopped;
        if (keepAlive.buffered() > korvex::KeepAlive::kMaxBuffered) std::abort();
    }
    if (stopped != expectedToStop(pieces)) std::abort();
    if (keepAlive.expired(now)) std::abort();

    // The same bytes through the heartbeat, read 256 bytes a tick, in the pieces the socket makes.
    if (stream.size() > 8192) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    korvex::Cancellation cancellation;
    {
        korvex::Heartbeat heartbeat(fds[0], cancellation, [now] { return now; });
        std::size_t sent = 0;
        while (sent < stream.size()) {
            ssize_t n = send(fds[1], stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
            for (std::size_t ticks = 0;
                 ticks * korvex::Heartbeat::kReadSize <= static_cast<std::size_t>(n); ++ticks)
                heartbeat.tick();
        }
        for (std::size_t ticks = 0; ticks < 40; ++ticks) heartbeat.tick();
        std::vector<std::string_view> reads;
        for (std::size_t at = 0; at < stream.size(); at += korvex::Heartbeat::kReadSize)
            reads.push_back(stream.substr(at, korvex::Heartbeat::kReadSize));
        if (cancellation.isCancelled() != expectedToStop(reads)) std::abort();
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}
