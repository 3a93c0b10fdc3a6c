#pragma once
// The file service's HTTP server: libmicrohttpd (its epoll loop on a pool of threads, TLS through
// GnuTLS), with the rules this service adds around it:
//  - a connection holds no thread while it is idle, trickles its head or reads its answer slowly;
//    files go out by sendfile from sealed snapshots (file_snapshots.h) or, for immutable objects,
//    from their own descriptors; other files block by block from their descriptors (a file
//    rewritten while it is sent ends the connection); listings from the cache's shared bytes;
//  - a request head must arrive whole within the read timeout of the connection's start, and a
//    kept-alive connection's next head within the keep-alive time of its last answer;
//  - a client that reads an answer at less than the minimum rate is dropped;
//  - up to `maxConnections` connections are served; a request on one of the few beyond that is
//    answered 503 with Retry-After, and further connections are closed as soon as they arrive, so
//    none waits in the listen backlog;
//  - strict request framing: a body is read and thrown away (never taken as a request), and a head
//    with conflicting lengths, a length beside Transfer-Encoding, or a control byte in a header is
//    answered 400; every 400, 413, 414 and 431 closes the connection.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "tools/fileservice/access_log.h"
#include "tools/fileservice/http_message.h"

struct MHD_Daemon;

namespace fileservice {

struct ServerLimits {
    unsigned threads = 0;         // 0: one per processor
    unsigned maxConnections = 0;  // 0: 10000, lowered to what the descriptor limit allows
    unsigned perAddress = 0;      // connections from one address; 0: no cap
    int retryAfterSeconds = 2;
    std::chrono::seconds readTimeout{10};   // a connection's first request head, whole
    std::chrono::seconds writeTimeout{30};  // no progress either way for this long: dropped
    std::chrono::seconds keepAlive{30};     // an idle kept-alive connection's next head, whole
    std::size_t minRate = 1024;             // bytes/s an answer must be read at (over 10 s); 0: off
    unsigned otherDescriptors = 0;          // held by the rest of the process (file snapshots)
};

// Counters for /healthz and tests; read without a lock, so only roughly consistent.
struct ServerCounters {
    std::atomic<size_t> open{0}, busy{0}, rejected{0}, timedOut{0}, slow{0}, malformed{0};
    std::atomic<size_t> rewritten{0};  // downloads ended because their file changed while sent
};

class HttpServer {
  public:
    using Handler = std::function<Response(const Request&)>;
    // The most body bytes a route takes (0: none, the body is read and thrown away); beyond: 413.
    using BodyLimit = std::function<size_t(std::string_view method, std::string_view path)>;
    using Logger = std::function<void(const LoggedRequest&)>;

    HttpServer(ServerLimits limits, Handler handler, BodyLimit bodyLimit, Logger logger);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Serve TLS 1.2 or newer with a PEM certificate chain and key; false with `error` set when they
    // cannot be loaded or do not match. Before Start().
    bool UseTls(const std::string& certFile, const std::string& keyFile, std::string& error);

    // Listens and serves on threads of its own; returns the port (a free one for 0) or -1.
    int Start(const std::string& address, int port);
    // Closes every connection and stops; not from a handler.
    void Stop();

    const ServerCounters& Counters() const { return counters_; }
    const ServerLimits& Limits() const { return limits_; }

    struct Connection;  // the server's record of one connection (internal)
    struct Exchange;    // one request on it (internal)

  private:
    void WatchLoop();

    ServerLimits limits_;
    Handler handler_;
    BodyLimit bodyLimit_;
    Logger logger_;
    ServerCounters counters_;
    std::string tlsCert_, tlsKey_;
    MHD_Daemon* daemon_ = nullptr;
    bool starting_ = true;  // the library's messages are logged only while it starts

    friend struct Callbacks;
    std::mutex mutex_;  // guards connections_ and every Connection's state; held while shutting one
    std::unordered_set<Connection*> connections_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    std::thread watch_;
};

}  // namespace fileservice
