// The channel's keep-alive rules, driven tick by tick over a real socket pair with a clock the
// test moves; and the sending of events over the same kind of channel.
#include "writer/heartbeat.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "core/records/records.hpp"
#include "core/base/unique_fd.hpp"
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
    void send(const std::string& bytes) {
        ASSERT_EQ(::send(app.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    bool cancelledAfterTick() {
        heartbeat.tick();
        return cancellation.isCancelled();
    }

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

TEST(HeartbeatTest, PingsKeepTheWriteGoingUntilTenSecondsPassWithoutOne) {
    Channel c;
    EXPECT_FALSE(c.cancelledAfterTick()) << "nothing to read is not a reason to stop";
    c.send("pi");
    EXPECT_FALSE(c.cancelledAfterTick());
    c.now += 9s;
    c.send("ng\n");
    EXPECT_FALSE(c.cancelledAfterTick()) << "a ping split across two reads is one ping";
    c.send("ping\nping\n");
    EXPECT_FALSE(c.cancelledAfterTick());
    c.now += 10s;
    EXPECT_FALSE(c.cancelledAfterTick())
        << "exactly 10 s since the last ping is not more than 10 s";
    c.now += 1ms;
    EXPECT_TRUE(c.cancelledAfterTick());
}

TEST(HeartbeatTest, TimesOutFromTheStartWhenNoPingEverComes) {
    Channel c;
    c.now += 10s + 1ms;
    EXPECT_TRUE(c.cancelledAfterTick());
}

TEST(HeartbeatTest, EveryOtherLineCancels) {
    for (const std::string& line :
         std::vector<std::string>{"cancel\n", "PING\n", "\n", "ping \n", "ping\r\n", " ping\n",
                                  "pong\n", "\xFFping\n", std::string("pi\0ng\n", 6)}) {
        Channel c;
        c.send("ping\n" + line + "ping\n");
        EXPECT_TRUE(c.cancelledAfterTick()) << line;
    }
}

TEST(HeartbeatTest, APartialLineOf1025BytesCancels) {
    Channel c;
    c.send(std::string(1024, 'p'));
    for (int tick = 0; tick < 4; ++tick) EXPECT_FALSE(c.cancelledAfterTick()) << tick;
    c.send("i");
    EXPECT_TRUE(c.cancelledAfterTick());
}

TEST(HeartbeatTest, ReadsAtMost256BytesATick) {
    Channel c;
    c.send(std::string(256, 'x') + "\n");
    EXPECT_FALSE(c.cancelledAfterTick()) << "the line's end is still unread";
    EXPECT_TRUE(c.cancelledAfterTick());
}

TEST(HeartbeatTest, TheEndOfTheStreamCancels) {
    Channel c;
    c.send("ping\n");
    c.app.reset();
    EXPECT_FALSE(c.cancelledAfterTick()) << "the ping is read first";
    EXPECT_TRUE(c.cancelledAfterTick());
}

TEST(HeartbeatTest, KeepsItsBufferBoundedOnceOverflowed) {
    KeepAlive keepAlive(Clock::now());
    EXPECT_TRUE(keepAlive.receive(std::string(1025, 'x'), Clock::now()));
    for (int i = 0; i < 100; ++i) keepAlive.receive(std::string(256, 'y'), Clock::now());
    EXPECT_LE(keepAlive.buffered(), KeepAlive::kMaxBuffered);
}

TEST(HeartbeatTest, ItsThreadReadsTheChannelUntilStopped) {
    Channel c;
    c.send("cancel\n");
    c.heartbeat.start();
    while (!c.cancellation.isCancelled()) std::this_thread::sleep_for(10ms);
    c.heartbeat.stop();
    c.heartbeat.stop();
}

TEST(WriterEventTest, SendsOneCompactJsonLinePerEvent) {
    Channel c;
    WriteEvent connected{"connected", 0, 0, "0b8e5b3a-2a43-4bb4-9b6f-3d2c1e0f9a87"};
    WriteEvent complete{"complete", 1536, 1536, std::nullopt};
    WriterMain::event(c.writer.get(), connected);
    WriterMain::event(c.writer.get(), complete);
    char buffer[512];
    ssize_t n = recv(c.app.get(), buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    std::string text(buffer, static_cast<std::size_t>(n));
    auto split = text.find('\n');
    ASSERT_NE(split, std::string::npos);
    EXPECT_EQ(decodeWriteEvent(text.substr(0, split)), connected);
    EXPECT_EQ(text.substr(split + 1), encode(complete) + "\n");
}

TEST(WriterEventTest, FailsWithoutASignalWhenTheApplicationIsGone) {
    // The default action of SIGPIPE would end this test program.
    struct sigaction previous {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, &previous);
    Channel c;
    c.app.reset();
    EXPECT_EQ(testing::failureOf([&] {
                  WriterMain::event(c.writer.get(), WriteEvent{"writing", 1, 2, std::nullopt});
              }),
              "Imager disconnected. Writing stopped.");
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST(WriterEventTest, GivesUpWhenTheApplicationStopsReading) {
    Channel c;
    std::string message(4000, 'm');
    EXPECT_EQ(testing::failureOf([&] {
                  for (int i = 0; i < 100000; ++i)
                      WriterMain::event(c.writer.get(), WriteEvent{"writing", i, 0, message});
              }),
              "Imager disconnected. Writing stopped.");
}

}  // namespace
}  // namespace korvex
