// NetworkError: a failure reported by the HTTP client or by a server, with a domain and a code.
//
// Two domains exist. "ImagerURL" carries transfer failures of the HTTP client, with the codes the
// rest of the application knows (kTimedOut, kCannotConnect, kConnectionLost, kNotConnected, ...),
// so that retry decisions do not depend on which client library sits underneath. "ImagerHTTP"
// carries a server status that a caller did not accept; its code is the status.
// Immutable; safe to copy and to share between threads.
#pragma once

#include <stdexcept>
#include <string>

namespace korvex {

class NetworkError : public std::runtime_error {
  public:
    static constexpr const char* kURLDomain = "ImagerURL";
    static constexpr const char* kHTTPDomain = "ImagerHTTP";

    // Codes of the "ImagerURL" domain.
    static constexpr long kUnknown = -1;
    static constexpr long kCancelled = -999;
    static constexpr long kTimedOut = -1001;
    static constexpr long kCannotConnect = -1004;
    static constexpr long kConnectionLost = -1005;
    static constexpr long kNotConnected = -1009;
    static constexpr long kBadServerResponse = -1011;
    static constexpr long kSecureConnectionFailed = -1200;
    static constexpr long kServerCertificateUntrusted = -1202;

    NetworkError(std::string domain, long code, const std::string& description)
        : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}

    // "Download server returned HTTP <status>. Please retry later."
    static NetworkError httpStatus(long status) {
        return NetworkError(
            kHTTPDomain, status,
            "Download server returned HTTP " + std::to_string(status) + ". Please retry later.");
    }

    const std::string& domain() const noexcept { return domain_; }
    long code() const noexcept { return code_; }
    std::string description() const { return what(); }

  private:
    std::string domain_;
    long code_;
};

}  // namespace korvex
