#include "writer/heartbeat.hpp"

#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>

namespace korvex {

bool KeepAlive::receive(std::string_view bytes, Clock::time_point now) {
    buffer_.append(bytes);
    bool stop = buffer_.size() > kMaxBuffered;
    std::size_t start = 0;
    for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
        // Bytes, not decoded text, are compared: no invalid sequence decodes to "ping".
        if (std::string_view(buffer_).substr(start, end - start) == "ping") {
            lastPing_ = now;
        } else {
            stop = true;
        }
    }
    buffer_.erase(0, start);
    // Once stopped nothing more that arrives can matter; keep memory bounded.
    if (buffer_.size() > kMaxBuffered) buffer_.clear();
    return stop;
}

Heartbeat::Heartbeat(int channel, Cancellation& cancellation, Now now)
    : channel_(channel), cancellation_(cancellation), now_(std::move(now)), keepAlive_(now_()) {}

void Heartbeat::tick() {
    char bytes[kReadSize];
    ssize_t n = recv(channel_, bytes, sizeof bytes, MSG_DONTWAIT);
    if (n == 0) {
        cancellation_.cancel();
    } else if (n > 0) {
        if (keepAlive_.receive(std::string_view(bytes, static_cast<std::size_t>(n)), now_()))
            cancellation_.cancel();
    }
    if (keepAlive_.expired(now_())) cancellation_.cancel();
}

void Heartbeat::start() {
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void Heartbeat::stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Heartbeat::run() {
    pthread_setname_np(pthread_self(), "kvi-heartbeat");
    // Ticks keep to a fixed schedule from the first, so a slow tick does not push the rest back.
    auto next = Clock::now();
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        hold.unlock();
        tick();
        hold.lock();
        next = std::max(next + kPeriod, Clock::now());
        wake_.wait_until(hold, next, [this] { return stopping_; });
    }
}

}  // namespace korvex
