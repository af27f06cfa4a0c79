#include "core/net/secure_network.hpp"

#include <mutex>

#include "core/net/curl_handles.hpp"
#include "core/net/transfer.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {

namespace net {

void ensureCurlReady() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace net

namespace {

const char* const kHttpsRequired = "An HTTPS download URL is required.";

}  // namespace

NetworkOptions SecureNetwork::catalogueOptions() {
    NetworkOptions options;
    options.requestTimeout = std::chrono::seconds(8);
    options.resourceTimeout = std::chrono::seconds(86'400);
    return options;
}

HttpsUrl SecureNetwork::https(std::string_view text) {
    // The scheme must be written exactly so (the parser below would lower-case it), and the
    // authority must be there in the text: the parser would take "https:///x" to name host "x".
    if (text.substr(0, 8) != "https://" || text.size() == 8 || text[8] == '/' || text[8] == '\\' ||
        text[8] == '?' || text[8] == '#' || text.find('\0') != std::string_view::npos)
        throw ImagerError(kHttpsRequired);
    net::ensureCurlReady();
    net::UrlHandle url(curl_url());
    if (!url) throw ImagerError(kHttpsRequired);
    std::string copy(text);
    if (curl_url_set(url.get(), CURLUPART_URL, copy.c_str(), 0) != CURLUE_OK)
        throw ImagerError(kHttpsRequired);
    if (net::urlPart(url.get(), CURLUPART_SCHEME) != "https") throw ImagerError(kHttpsRequired);
    std::string host = net::urlPart(url.get(), CURLUPART_HOST);
    if (host.empty()) throw ImagerError(kHttpsRequired);
    char* credential = nullptr;
    for (CURLUPart which : {CURLUPART_USER, CURLUPART_PASSWORD}) {
        CURLUcode rc = curl_url_get(url.get(), which, &credential, 0);
        net::CurlString owned(credential);
        credential = nullptr;
        if (rc == CURLUE_OK) throw ImagerError(kHttpsRequired);
    }
    std::string normalised = net::urlPart(url.get(), CURLUPART_URL);
    if (normalised.empty()) throw ImagerError(kHttpsRequired);
    return HttpsUrl{std::move(normalised), std::move(host)};
}

std::string SecureNetwork::smallData(std::string_view text, const NetworkOptions& options) {
    std::string body;
    HttpsUrl url = https(text);
    Transfer transfer(
        [](const HttpResponse& response) {
            if (response.status != 200) throw ImagerError("Catalogue is unavailable.");
        },
        [&body](std::string_view chunk) {
            if (body.size() + chunk.size() > kMaxSmallData)
                throw ImagerError("Catalogue is too large.");
            body.append(chunk);
        });
    transfer.run(url, {}, options);
    transfer.rethrowIfFailed();
    return body;
}

}  // namespace korvex
