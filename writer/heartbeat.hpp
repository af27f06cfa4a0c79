// The writer's watch over its channel: the keep-alive rules, and the timer thread that applies
// them.
//
// The application sends "ping" lines to keep a write going; any other line ("cancel" included),
// a partial line of 1,025 bytes or more, the end of the stream, or more than 10 s without a
// "ping" asks the write to stop. The heartbeat never writes to the channel and never stops the
// write itself: it raises the write's Cancellation, which the write polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/records/cancellation.hpp"

namespace korvex {

// The keep-alive rules over the bytes received. A plain value used by one thread at a time.
class KeepAlive {
  public:
    using Clock = std::chrono::steady_clock;
    // A partial line may hold at most this many bytes.
    static constexpr std::size_t kMaxBuffered = 1024;
    static constexpr Clock::duration kTimeout = std::chrono::seconds(10);

    // `start` counts as the last ping.
    explicit KeepAlive(Clock::time_point start) : lastPing_(start) {}

    // Takes bytes received at `now`. Returns true when they ask to stop: a line other than
    // "ping", or a buffer that reached 1,025 bytes (which is then dropped, the write being over).
    bool receive(std::string_view bytes, Clock::time_point now);

    // True when more than 10 s have passed since the last "ping" (or the start).
    bool expired(Clock::time_point now) const { return now - lastPing_ > kTimeout; }

    // Bytes of a partial line held.
    std::size_t buffered() const { return buffer_.size(); }

  private:
    std::string buffer_;
    Clock::time_point lastPing_;
};

// Reads the channel every 200 ms (the first time at once) on its own thread and raises the
// Cancellation as KeepAlive says. Reads at most 256 bytes a tick and never waits for data.
// REQUIRES: the channel and the Cancellation outlive the Heartbeat. stop() (or the destructor)
// ends and joins the thread; start() and stop() are called from one thread.
class Heartbeat {
  public:
    using Clock = KeepAlive::Clock;
    using Now = std::function<Clock::time_point()>;
    static constexpr std::chrono::milliseconds kPeriod{200};
    static constexpr std::size_t kReadSize = 256;

    Heartbeat(int channel, Cancellation& cancellation, Now now = &Clock::now);
    ~Heartbeat() { stop(); }
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    void start();
    void stop();

    // One tick. Exposed so the rules can be driven without the thread; not to be called while
    // the thread runs.
    void tick();

  private:
    void run();

    int channel_;
    Cancellation& cancellation_;
    Now now_;
    KeepAlive keepAlive_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

}  // namespace korvex
