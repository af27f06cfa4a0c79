// SecureNetwork: the only way the application reaches the network.
//
// Admits HTTPS addresses with a host and without credentials, and fetches small documents (the
// signed catalogue) with a hard size cap. TLS peer and host verification is always on; the only
// trust setting a caller can change is which CA bundle is used (tests bring their own CA).
// Stateless; every function may be called from any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace korvex {

// Time-outs and trust anchors of one request.
struct NetworkOptions {
    // Idle time-out: the connection must be set up, and each byte must follow the previous one,
    // within this time.
    std::chrono::milliseconds requestTimeout{8000};
    // Whole-transfer time-out, all redirect hops included.
    std::chrono::milliseconds resourceTimeout{86'400'000};
    // PEM file of trusted CAs; empty means the system's store.
    std::string caFile;
};

// A URL that passed SecureNetwork::https.
struct HttpsUrl {
    std::string text;  // the absolute address, as the HTTP client normalised it
    std::string host;
};

struct SecureNetwork {
    static constexpr std::size_t kMaxSmallData = 3'145'728;  // 3 MiB

    // Options of a catalogue fetch: 8 s idle, 24 h whole transfer, system CAs.
    static NetworkOptions catalogueOptions();

    // Parses `text`; throws ImagerError "An HTTPS download URL is required." unless it is an
    // "https" address (scheme written in lower case) with a non-empty host and no user or password.
    static HttpsUrl https(std::string_view text);

    // The whole body of a small HTTPS resource (status 200 only, at most 3 MiB). Throws
    // ImagerError ("Catalogue is unavailable.", "Catalogue is too large.", "Unsafe download
    // redirect.", ...) or NetworkError for transfer failures.
    static std::string smallData(std::string_view url,
                                 const NetworkOptions& options = catalogueOptions());
};

}  // namespace korvex
