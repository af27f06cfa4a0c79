#include "core/net/transfer.hpp"

#include <cerrno>
#include <cstring>

#include "core/base/ascii_text.hpp"
#include "core/net/curl_handles.hpp"
#include "core/net/network_error.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {

namespace {

using Clock = std::chrono::steady_clock;

// The status of an "HTTP/x yyy reason" line, or 0 when it has none.
long statusOf(std::string_view line) {
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4) return 0;
    long status = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        char c = line[i];
        if (c < '0' || c > '9') return 0;
        status = status * 10 + (c - '0');
    }
    if (line.size() > space + 4 && line[space + 4] != ' ') return 0;
    return status;
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// `location` resolved against `base`; empty when it cannot be resolved.
std::string resolve(const std::string& base, const std::string& location) {
    net::UrlHandle url(curl_url());
    if (!url) return {};
    if (curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return {};
    if (curl_url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK)
        return {};
    return net::urlPart(url.get(), CURLUPART_URL);
}

NetworkError urlError(long code, const std::string& text) {
    return NetworkError(NetworkError::kURLDomain, code, text);
}

NetworkError timedOut() {
    return urlError(NetworkError::kTimedOut, "The request timed out.");
}

// A server that answers outside what a plain GET may get back (headers without end, a line
// libcurl will not hold, a protocol switch nobody asked for) is not a network failure: trying
// again would only get the same answer.
NetworkError refusedAnswer() {
    return urlError(NetworkError::kBadServerResponse, "The server's answer was refused.");
}

// Maps libcurl's result onto the codes the rest of the application decides on. `answered` tells
// whether the final response's headers had been accepted.
NetworkError mapCurlError(CURLcode result, CURL* easy, const char* detail, bool answered) {
    std::string why = detail != nullptr && *detail != '\0' ? detail : curl_easy_strerror(result);
    switch (result) {
        case CURLE_OUT_OF_MEMORY:
            // Before the headers are through, this is libcurl refusing a header line longer than
            // it will buffer (100 KiB); its own allocations there are a few small buffers.
            if (!answered) return refusedAnswer();
            return urlError(NetworkError::kUnknown, "Network request failed: " + why);
        case CURLE_OPERATION_TIMEDOUT:
            return timedOut();
        case CURLE_COULDNT_CONNECT: {
            long osErrno = 0;
            curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
            if (osErrno == ENETUNREACH || osErrno == ENETDOWN)
                return urlError(NetworkError::kNotConnected,
                                "The Internet connection appears to be offline.");
            return urlError(NetworkError::kCannotConnect, "Could not connect to the server.");
        }
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return urlError(NetworkError::kCannotConnect, "Could not connect to the server.");
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return urlError(NetworkError::kConnectionLost, "The network connection was lost.");
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return urlError(NetworkError::kServerCertificateUntrusted,
                            "The certificate for this server is invalid: " + why);
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_USE_SSL_FAILED:
            return urlError(NetworkError::kSecureConnectionFailed,
                            "A secure connection to the server cannot be made: " + why);
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return urlError(NetworkError::kBadServerResponse,
                            "The server's response is not valid: " + why);
        default:
            return urlError(NetworkError::kUnknown, "Network request failed: " + why);
    }
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringAsciiCase(key, name)) return value;
    return std::nullopt;
}

// State of one request hop (one connection, one response).
struct Transfer::Hop {
    Transfer* owner = nullptr;
    std::string url;
    HttpResponse current;
    bool accepted = false;        // the final response passed the caller's check
    std::size_t headerBytes = 0;  // every header line of this hop, interim responses included
    std::optional<std::string> redirectTo;
    Clock::time_point lastActivity;
};

struct TransferCallbacks {
    static std::size_t header(char* data, std::size_t size, std::size_t count, void* user) {
        auto& hop = *static_cast<Transfer::Hop*>(user);
        Transfer& transfer = *hop.owner;
        std::size_t n = size * count;
        hop.lastActivity = Clock::now();
        if (transfer.failed()) return 0;
        hop.headerBytes += n;
        if (hop.headerBytes > Transfer::kMaxHeaderBytes) {
            transfer.record(std::make_exception_ptr(refusedAnswer()));
            return 0;
        }
        if (hop.accepted) return n;  // trailers
        std::string_view line = trimAscii(std::string_view(data, n));
        if (line.substr(0, 5) == "HTTP/") {
            hop.current = HttpResponse{};
            hop.current.status = statusOf(line);
            return n;
        }
        if (!line.empty()) {
            std::size_t colon = line.find(':');
            if (colon != std::string_view::npos)
                hop.current.headers.emplace_back(std::string(trimAscii(line.substr(0, colon))),
                                                 std::string(trimAscii(line.substr(colon + 1))));
            return n;
        }
        // End of one header block.
        long status = hop.current.status;
        if (status == 101) {  // a switch to another protocol, which a GET never asks for
            transfer.record(std::make_exception_ptr(refusedAnswer()));
            return 0;
        }
        if (status >= 100 && status < 200) return n;
        if (isRedirectStatus(status)) {
            if (auto location = hop.current.header("Location"); location && !location->empty()) {
                hop.redirectTo = resolve(hop.url, *location);
                return 0;  // abandon this hop; run() decides whether to follow
            }
        }
        if (status == 0) {
            transfer.record(std::make_exception_ptr(ImagerError("Invalid HTTP response.")));
            return 0;
        }
        try {
            transfer.response_(hop.current);
        } catch (...) {
            transfer.record(std::current_exception());
            return 0;
        }
        hop.accepted = true;
        return n;
    }

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
        auto& hop = *static_cast<Transfer::Hop*>(user);
        Transfer& transfer = *hop.owner;
        std::size_t n = size * count;
        hop.lastActivity = Clock::now();
        if (transfer.failed()) return 0;
        if (!hop.accepted) {  // bytes that belong to no response the caller saw
            if (!hop.redirectTo) transfer.record(std::make_exception_ptr(refusedAnswer()));
            return 0;
        }
        try {
            transfer.receive_(std::string_view(data, n));
        } catch (...) {
            transfer.record(std::current_exception());
            return 0;
        }
        return n;
    }
};

Transfer::Transfer(ResponseCheck response, Receive receive)
    : response_(std::move(response)), receive_(std::move(receive)) {}

void Transfer::record(std::exception_ptr failure) {
    if (!failure_) failure_ = std::move(failure);
}

void Transfer::run(const HttpsUrl& url, const std::vector<std::string>& headers,
                   const NetworkOptions& options, const CancelCheck& cancel) {
    net::ensureCurlReady();
    const Clock::time_point deadline = Clock::now() + options.resourceTimeout;
    std::string target = url.text;
    for (;;) {
        Hop hop;
        hop.owner = this;
        hop.url = target;
        hop.lastActivity = Clock::now();

        auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - hop.lastActivity);
        if (remaining.count() <= 0) {
            record(std::make_exception_ptr(timedOut()));
            return;
        }
        net::EasyHandle easy(curl_easy_init());
        net::MultiHandle multi(curl_multi_init());
        if (!easy || !multi) {
            record(std::make_exception_ptr(
                urlError(NetworkError::kUnknown, "Cannot start the HTTP client.")));
            return;
        }
        net::Slist list;
        for (const std::string& line : headers) {
            curl_slist* grown = curl_slist_append(list.get(), line.c_str());
            if (grown == nullptr) {
                record(std::make_exception_ptr(
                    urlError(NetworkError::kUnknown, "Cannot start the HTTP client.")));
                return;
            }
            (void)list.release();
            list.reset(grown);
        }
        char detail[CURL_ERROR_SIZE] = {};
        CURL* h = easy.get();
        curl_easy_setopt(h, CURLOPT_URL, target.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        // A proxy's CONNECT answer must never pass for the server's response.
        curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        if (!options.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, options.caFile.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &TransferCallbacks::header);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &hop);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TransferCallbacks::write);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &hop);
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(options.requestTimeout.count()));
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining.count()));

        if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) {
            record(std::make_exception_ptr(
                urlError(NetworkError::kUnknown, "Cannot start the HTTP client.")));
            return;
        }
        CURLcode result = CURLE_OK;
        for (;;) {
            int running = 0;
            if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
                record(std::make_exception_ptr(
                    urlError(NetworkError::kUnknown, "The HTTP client failed.")));
                break;
            }
            bool finished = false;
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
                if (message->msg == CURLMSG_DONE) {
                    result = message->data.result;
                    finished = true;
                }
            }
            if (finished || failed()) break;
            Clock::time_point now = Clock::now();
            if (now - hop.lastActivity >= options.requestTimeout || now >= deadline) {
                record(std::make_exception_ptr(timedOut()));
                break;
            }
            if (cancel && cancel()) {
                record(std::make_exception_ptr(
                    urlError(NetworkError::kCancelled, "The request was cancelled.")));
                break;
            }
            curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(kPollStep.count()), nullptr);
        }
        curl_multi_remove_handle(multi.get(), h);
        if (failed()) return;

        if (hop.redirectTo) {
            ++redirects_;
            std::optional<HttpsUrl> next;
            if (redirects_ <= kMaxRedirects) {
                try {
                    next = SecureNetwork::https(*hop.redirectTo);
                } catch (const ImagerError&) {
                }
            }
            if (!next) {
                record(std::make_exception_ptr(ImagerError("Unsafe download redirect.")));
                return;
            }
            target = next->text;
            continue;
        }
        if (result != CURLE_OK)
            record(std::make_exception_ptr(mapCurlError(result, h, detail, hop.accepted)));
        return;
    }
}

}  // namespace korvex
