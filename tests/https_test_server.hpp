// HttpsTestServer: a real HTTPS/1.1 server on 127.0.0.1 for the network tests.
//
// Its certificate is issued at start-up by a test CA made with the openssl tool in a private
// temporary folder (once per process); clients trust it through caFile(). Each connection is
// served on its own thread and closed after one response. Paths are routed to handlers, which may
// misbehave on purpose: wrong statuses, redirects, stalls, cut-off bodies. Every request is
// recorded. Destruction stops the listener, wakes stalled handlers and joins every thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvex::testing {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method, path;  // the path without its query
    HeaderList headers;
    // The first header of that name (ASCII case ignored).
    std::optional<std::string> header(std::string_view name) const;
};

class HttpsTestServer;

// The server side of one accepted connection, handed to a handler.
class HttpsConnection {
  public:
    bool send(std::string_view bytes);  // raw bytes over TLS; false once the peer has gone
    // A whole response: status line, the headers, Content-Length (unless given), body.
    bool respond(int status, const HeaderList& headers, std::string_view body);
    // Waits until the server stops or `limit` has passed, sending nothing.
    void stall(std::chrono::milliseconds limit);
    // Closes the TCP connection without a TLS close, as a dropped network would.
    void dropConnection() { dropped_ = true; }

  private:
    friend class HttpsTestServer;
    HttpsConnection(HttpsTestServer& server, void* ssl) : server_(server), ssl_(ssl) {}
    HttpsTestServer& server_;
    void* ssl_;
    bool dropped_ = false;
};

class HttpsTestServer {
  public:
    using Handler = std::function<void(const HttpRequest&, HttpsConnection&)>;

    HttpsTestServer();
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;

    const std::string& caFile() const;  // PEM of the CA that issued the server's certificate
    int port() const { return port_; }
    std::string url(const std::string& path) const;  // "https://127.0.0.1:<port>" + path

    // Routes requests for `path` (exact match, query ignored) to `handler`; others get 404.
    void route(const std::string& path, Handler handler);
    // Serves `bytes` at `path`, answering "Range: bytes=N-" with 206 and a Content-Range.
    void serveFile(const std::string& path, std::string bytes);
    void status(const std::string& path, int status);  // always `status`, empty body
    void redirect(const std::string& path, const std::string& location);  // 302 to `location`
    // Requests received for `path`, in arrival order.
    std::vector<HttpRequest> requests(const std::string& path) const;

    // The standard partial-content answer for `bytes` to `request` (200 without a Range).
    static void answerWithRanges(const HttpRequest& request, HttpsConnection& connection,
                                 std::string_view bytes);

  private:
    friend class HttpsConnection;
    void acceptLoop();
    void serve(int fd);

    void* context_ = nullptr;  // SSL_CTX
    int listener_ = -1, port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex lock_;
    std::condition_variable stopped_;
    std::map<std::string, Handler> routes_;
    std::vector<HttpRequest> log_;
    std::vector<std::thread> workers_;
    std::vector<int> openSockets_;
};

}  // namespace korvex::testing
