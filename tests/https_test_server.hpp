// HttpsTestServer: a real HTTPS/1.1 server on 127.0.0.1 for the network tests.
//
// Its certificate is issued at start-up by a test CA made with the openssl tool in a private
// temporary folder (once per test process); clients trust it through caFile(). Each connection
// is served on its own thread and closed after one response. Paths are routed to handlers, which
// may misbehave on purpose: wrong statuses, redirects, stalls, cut-off bodies. Every request is
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
#include <utility>
#include <vector>

namespace korvex::testing {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string path;  // without the query
    HeaderList headers;

    // First header of that name (ASCII case ignored).
    std::optional<std::string> header(std::string_view name) const;
};

class HttpsTestServer;

// The server side of one accepted connection, handed to a handler.
class HttpsConnection {
  public:
    // Sends raw bytes over TLS; false once the peer has gone.
    bool send(std::string_view bytes);
    // Sends a whole response: status line, the headers, Content-Length (unless given), body.
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

    // PEM file of the CA that issued the server's certificate.
    const std::string& caFile() const;
    int port() const { return port_; }
    // "https://127.0.0.1:<port>" + path.
    std::string url(const std::string& path) const;

    // Routes requests for `path` (exact match, query ignored) to `handler`; others get 404.
    void route(const std::string& path, Handler handler);
    // Serves `bytes` at `path`, answering "Range: bytes=N-" with 206 and a Content-Range.
    void serveFile(const std::string& path, std::string bytes);
    // Answers every request for `path` with `status` and an empty body.
    void status(const std::string& path, int status);
    // Answers with 302 and the given Location.
    void redirect(const std::string& path, const std::string& location);

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
    int listener_ = -1;
    int port_ = 0;
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
