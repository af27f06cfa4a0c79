// A real HTTPS/1.1 server on 127.0.0.1, its certificate from a test CA made once per process
// (caFile()). One thread and one response per connection; handlers may misbehave on purpose.
// Every request is recorded. Destruction wakes stalled handlers and joins every thread.
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
    std::optional<std::string> header(std::string_view name) const;
};

class HttpsTestServer;

class HttpsConnection {
  public:
    bool send(std::string_view bytes);  // raw bytes over TLS; false once the peer has gone
    // Adds Content-Length unless given.
    bool respond(int status, const HeaderList& headers, std::string_view body);
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

    const std::string& caFile() const;
    int port() const { return port_; }
    std::string url(const std::string& path) const;

    // Exact paths, query ignored; others get 404.
    void route(const std::string& path, Handler handler);
    void serveFile(const std::string& path, std::string bytes);  // with "Range: bytes=N-"
    void status(const std::string& path, int status);
    void redirect(const std::string& path, const std::string& location);  // 302
    std::vector<HttpRequest> requests(const std::string& path) const;  // in arrival order

    // 206 for "Range: bytes=N-", 416 past the end, 200 without a Range.
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
