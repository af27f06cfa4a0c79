// WriterSession: the application's reading of one writer channel — framing, and the rules every
// event must pass before the application believes it.
//
// Feed it the bytes received from the writer; it hands each accepted event on, in order, and
// remembers what the outcome depends on (a valid "complete", a failure text). A protocol fault
// throws ImagerError (or DecodeError for an undecodable line) and the session is over.
// Not thread-safe: one session belongs to the thread that serves the channel.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/records/records.hpp"

namespace korvex {

class WriterSession {
  public:
    static constexpr std::size_t kMaxBuffered = 16384;
    static constexpr std::int64_t kMaxTotal = kMaxImageBytes;

    // `nonce` is the request's; `expanded` the approved image's expanded size.
    WriterSession(std::string nonce, std::int64_t expanded);

    // Appends received bytes and handles every complete line, calling `onEvent` for each accepted
    // event before the next line is looked at.
    void feed(std::string_view bytes, const std::function<void(const WriteEvent&)>& onEvent);

    // A receive error on the connection: remembered as the failure, replacing any earlier one.
    void connectionFailed();

    bool completed() const { return completed_; }
    // "cancelled", the writer's error text, or a connection failure; absent when none.
    const std::optional<std::string>& failure() const { return failure_; }

  private:
    void accept(const WriteEvent& event);

    std::string nonce_;
    std::int64_t expanded_;
    std::string buffer_;
    bool handshaken_ = false;
    bool completed_ = false;
    std::optional<std::string> failure_;
};

}  // namespace korvex
