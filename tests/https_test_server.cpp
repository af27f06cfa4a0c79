#include "tests/https_test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>

#include "core/base/ascii_text.hpp"
#include "tests/fixtures.hpp"

namespace korvex::testing {
namespace {

// The test CA and the server certificate it issued, made once per process.
struct TestCertificates {
    TempDir folder;
    std::string ca = folder.file("ca.pem"), cert = folder.file("server.pem"),
                key = folder.file("server.key");

    TestCertificates() {
        shell("cd '" + folder.path() +
              "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
              " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Korvex Imager Test CA'"
              " -addext 'basicConstraints=critical,CA:TRUE'"
              " -addext 'keyUsage=critical,keyCertSign,cRLSign' 2>/dev/null"
              " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
              " -keyout server.key -out server.csr -subj '/CN=127.0.0.1' 2>/dev/null"
              " && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n"
              "extendedKeyUsage=serverAuth\\n' > ext.cnf"
              " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
              " -out server.pem -days 2 -extfile ext.cnf 2>/dev/null");
    }
};

const TestCertificates& certificates() {
    static TestCertificates made;
    return made;
}

// `head` holds at least the blank line after the headers.
HttpRequest parseRequest(const std::string& head) {
    HttpRequest request;
    const std::size_t lineEnd = head.find("\r\n"), a = head.find(' '), b = head.rfind(' ', lineEnd);
    request.method = head.substr(0, a);
    request.path = head.substr(a + 1, std::min(b - a - 1, head.find('?') - a - 1));
    for (std::size_t at = lineEnd + 2, end;
         (end = head.find("\r\n", at)) != at && end != std::string::npos; at = end + 2) {
        const std::string line = head.substr(at, end - at);
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::size_t v = line.find_first_not_of(' ', colon + 1);
        request.headers.emplace_back(line.substr(0, colon),
                                     v == std::string::npos ? "" : line.substr(v));
    }
    return request;
}

}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringAsciiCase(key, name)) return value;
    return std::nullopt;
}

bool HttpsConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const int n = SSL_write(static_cast<SSL*>(ssl_), bytes.data(),
                                static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 16)));
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool HttpsConnection::respond(int status, const HeaderList& headers, std::string_view body) {
    // Clients go by the code alone; the phrase only has to be there.
    const char* reason = status < 300 ? "OK" : status < 400 ? "Redirect" : "Error";
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : headers) {
        head += name + ": " + value + "\r\n";
        hasLength = hasLength || equalsIgnoringAsciiCase(name, "Content-Length");
    }
    if (!hasLength) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return send(head + "Connection: close\r\n\r\n") && send(body);
}

void HttpsConnection::stall(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(server_.lock_);
    server_.stopped_.wait_for(hold, limit, [this] { return server_.stopping_.load(); });
}

HttpsTestServer::HttpsTestServer() {
    std::signal(SIGPIPE, SIG_IGN);
    const TestCertificates& made = certificates();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    context_ = ctx;
    if (ctx == nullptr ||
        SSL_CTX_use_certificate_file(ctx, made.cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, made.key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("test server: cannot load its certificate");
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("test server: cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpsTestServer::~HttpsTestServer() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        for (int fd : openSockets_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& worker : workers_) worker.join();  // the acceptor, which adds them, has ended
    ::close(listener_);
    SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

const std::string& HttpsTestServer::caFile() const {
    return certificates().ca;
}

std::string HttpsTestServer::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpsTestServer::route(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> hold(lock_);
    routes_[path] = std::move(handler);
}

void HttpsTestServer::answerWithRanges(const HttpRequest& request, HttpsConnection& connection,
                                       std::string_view bytes) {
    const std::string total = std::to_string(bytes.size());
    auto range = request.header("Range");
    if (!range || range->rfind("bytes=", 0) != 0 || range->back() != '-') {
        connection.respond(200, {}, bytes);
        return;
    }
    const std::size_t from = std::stoull(range->substr(6, range->size() - 7));
    if (from >= bytes.size()) {
        connection.respond(416, {{"Content-Range", "bytes */" + total}}, "");
        return;
    }
    const std::string last = std::to_string(bytes.size() - 1);
    connection.respond(
        206, {{"Content-Range", "bytes " + std::to_string(from) + "-" + last + "/" + total}},
        bytes.substr(from));
}

void HttpsTestServer::serveFile(const std::string& path, std::string bytes) {
    route(path, [bytes = std::move(bytes)](const HttpRequest& request, HttpsConnection& c) {
        answerWithRanges(request, c, bytes);
    });
}

void HttpsTestServer::status(const std::string& path, int code) {
    route(path, [code](const HttpRequest&, HttpsConnection& c) { c.respond(code, {}, ""); });
}

void HttpsTestServer::redirect(const std::string& path, const std::string& location) {
    route(path, [location](const HttpRequest&, HttpsConnection& c) {
        c.respond(302, {{"Location", location}}, "");
    });
}

std::vector<HttpRequest> HttpsTestServer::requests(const std::string& path) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<HttpRequest> found;
    std::copy_if(log_.begin(), log_.end(), std::back_inserter(found),
                 [&](const HttpRequest& r) { return r.path == path; });
    return found;
}

void HttpsTestServer::acceptLoop() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && !stopping_ && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd < 0) return;
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        openSockets_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void HttpsTestServer::serve(int fd) {
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1) {
        std::string head;
        char buffer[4096];
        for (int n; head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 &&
                    (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;)
            head.append(buffer, static_cast<std::size_t>(n));
        bool dropped = true;
        if (head.find("\r\n\r\n") != std::string::npos) {
            const HttpRequest request = parseRequest(head);
            Handler handler;
            {
                std::lock_guard<std::mutex> hold(lock_);
                log_.push_back(request);
                if (auto it = routes_.find(request.path); it != routes_.end()) handler = it->second;
            }
            HttpsConnection connection(*this, ssl);
            handler ? handler(request, connection) : (void)connection.respond(404, {}, "");
            dropped = connection.dropped_;
        }
        if (!dropped) SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    std::lock_guard<std::mutex> hold(lock_);
    ::close(fd);
    openSockets_.erase(std::remove(openSockets_.begin(), openSockets_.end(), fd),
                       openSockets_.end());
}

}  // namespace korvex::testing
