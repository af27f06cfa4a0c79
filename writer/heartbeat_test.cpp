// The heartbeat over a real socket pair with a clock the test moves, and events sent over one.
// Which lines and partial lines stop a write is fuzz_heartbeat's (an oracle over any bytes).
#include "writer/heartbeat.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "core/base/unique_fd.hpp"
#include "core/records/records.hpp"
#include "tests/test_support.hpp"
#include "writer/writer_main.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
using Clock = KeepAlive::Clock;

// The writer's end and the application's end of a channel, with a clock the test moves.
struct Channel {
    UniqueFd writer, app;
    Cancellation cancellation;
    Clock::time_point now = Clock::time_point() + 1000s;
    Heartbeat heartbeat;

    Channel() : Channel(pair()) {}

  private:
    static std::pair<int, int> pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        return {fds[0], fds[1]};
    }
    explicit Channel(std::pair<int, int> fds)
        : writer(fds.first),
          app(fds.second),
          heartbeat(fds.first, cancellation, [this] { return now; }) {}
};

// Catches a ping split across reads taken for two lines, a timeout at exactly 10 s or never, and a
// "cancel" line or an ended stream not taken as a cancel.
TEST(Heartbeat, StopsTheWriteExactlyWhenTheRulesSay) {
    struct Tick {
        Clock::duration wait;  // the clock moves by it, then the application sends `bytes`
        std::string bytes;
        bool stopped;  // the write must be stopped after the tick
        bool hangUp = false;
    };
    const std::vector<std::pair<const char*, std::vector<Tick>>> scripts = {
        {"pings", {{0s, "pi", false}, {9s, "ng\n", false}, {10s, "", false}, {1ms, "", true}}},
        {"no ping ever", {{10s + 1ms, "", true}}},
        {"cancel", {{0s, "ping\ncancel\n", true}}},
        {"end of stream", {{0s, "ping\n", false, true}, {0s, "", true}}},
    };
    for (const auto& [name, ticks] : scripts) {
        Channel c;
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            SCOPED_TRACE(std::string(name) + ", tick " + std::to_string(i));
            c.now += ticks[i].wait;
            const std::string& bytes = ticks[i].bytes;
            if (!bytes.empty()) {
                ASSERT_EQ(send(c.app.get(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
            }
            if (ticks[i].hangUp) c.app.reset();
            c.heartbeat.tick();
            EXPECT_EQ(c.cancellation.isCancelled(), ticks[i].stopped);
        }
    }
}

// Catches a thread that never reads, or a stop() that does not join or cannot be repeated.
TEST(Heartbeat, ItsThreadReadsTheChannelUntilStopped) {
    Channel c;
    ASSERT_EQ(send(c.app.get(), "cancel\n", 7, MSG_NOSIGNAL), 7);
    c.heartbeat.start();
    while (!c.cancellation.isCancelled()) std::this_thread::sleep_for(10ms);
    c.heartbeat.stop();
    c.heartbeat.stop();
}

// Catches a writer killed by SIGPIPE when the application is gone, and one that waits forever on
// an application that stopped reading.
TEST(WriterEvent, GivesUpWhenTheApplicationIsGoneOrStopsReading) {
    struct sigaction previous {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, &previous);  // its default action would end this program
    for (bool gone : {true, false}) {
        Channel c;
        if (gone) c.app.reset();
        EXPECT_EQ(testing::failureOf([&] {
                      for (int i = 0; i < 100000; ++i)
                          WriterMain::event(c.writer.get(),
                                            WriteEvent{"writing", i, 0, std::string(4000, 'm')});
                  }),
                  "Imager disconnected. Writing stopped.")
            << gone;
    }
    sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace korvex
