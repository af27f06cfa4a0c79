// Transfer: drives one HTTP GET over libcurl and turns it into three caller checks.
//
// `response` sees the status and headers of the final response (never those of a redirect) and
// may throw to refuse it; `receive` gets every body chunk in order and may throw. Redirects are
// followed one hop at a time by this class, each proposed address checked by SecureNetwork::https
// and counted: five are followed, the sixth is refused with "Unsafe download redirect.". An answer
// no GET may get (more than kMaxHeaderBytes of headers, a header line libcurl will not hold, a
// "101 Switching Protocols") fails with NetworkError kBadServerResponse, "The server's answer was
// refused.", which is never worth another attempt.
// Only the first recorded failure counts; once one is recorded the request is abandoned and no
// caller check runs again. run() always returns once the request has ended, whatever happened.
//
// Callbacks run on the thread that called run(), one at a time. One Transfer serves one request;
// it is neither copyable nor reusable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/net/secure_network.hpp"

namespace korvex {

// The status line and headers of one HTTP response.
struct HttpResponse {
    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, values trimmed

    // The value of the first header named `name` (compared without regard to ASCII case).
    std::optional<std::string> header(std::string_view name) const;
};

class Transfer {
  public:
    using ResponseCheck = std::function<void(const HttpResponse&)>;
    using Receive = std::function<void(std::string_view chunk)>;
    // Asked after every polling step in which the request still runs; true cancels it.
    using CancelCheck = std::function<bool()>;

    static constexpr long kMaxRedirects = 5;
    // Header bytes one response may send before it is refused with "The server's answer was
    // refused." (the code kBadServerResponse). Below libcurl's own limit of 300 KiB less one
    // 100 KiB line, so this refusal, not libcurl's, always comes first.
    static constexpr std::size_t kMaxHeaderBytes = 128 * 1024;
    static constexpr std::chrono::milliseconds kPollStep{100};

    Transfer(ResponseCheck response, Receive receive);
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Sends GET `url` (already accepted by SecureNetwork::https) with the extra `headers`
    // ("Name: value" lines) and blocks until the request has ended. Never throws: every failure
    // is recorded and available through failure().
    void run(const HttpsUrl& url, const std::vector<std::string>& headers,
             const NetworkOptions& options, const CancelCheck& cancel = {});

    // The recorded failure, or null when the request succeeded.
    std::exception_ptr failure() const { return failure_; }
    // Throws the recorded failure, if any.
    void rethrowIfFailed() const {
        if (failure_) std::rethrow_exception(failure_);
    }
    std::intptr_t redirects() const { return redirects_; }

  private:
    struct Hop;
    friend struct TransferCallbacks;

    void record(std::exception_ptr failure);
    bool failed() const { return static_cast<bool>(failure_); }

    ResponseCheck response_;
    Receive receive_;
    std::exception_ptr failure_;
    std::intptr_t redirects_ = 0;
};

}  // namespace korvex
