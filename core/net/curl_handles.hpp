// RAII owners for libcurl handles and the process-wide libcurl start-up.
// Internal to core/net.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace korvex::net {

// Initialises libcurl once per process; safe to call from any thread.
void ensureCurlReady();

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
    void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct UrlDeleter {
    void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* h) const { curl_slist_free_all(h); }
};
struct CurlStringDeleter {
    void operator()(char* s) const { curl_free(s); }
};

using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// One part of a parsed URL as text; empty when the URL has no such part.
inline std::string urlPart(CURLU* url, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) return {};
    CurlString owned(raw);
    return std::string(raw);
}

}  // namespace korvex::net
