#pragma once
// The connection handling of the file service around cpp-httplib's request handling: the library
// parses each request and runs the handlers, this class owns the sockets.
//
// Why not the library's own loop: it gives every connection a worker for its whole life, so idle
// kept-alive connections and slow clients hold workers, and its queue has no bound. Here a
// connection holds a worker only while one request is read and answered:
//  - one poller thread accepts and parks every connection that has no request in flight in epoll;
//    a connection whose next request starts arriving goes to a bounded queue of ready connections;
//  - a fixed set of workers take ready connections, read one request (its head within the read
//    timeout, however slowly it trickles in), answer it and park the connection again;
//  - when the queue is full, the connection is answered 503 with Retry-After at once and closed;
//  - a parked connection idle longer than the keep-alive timeout is closed.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace fileservice {

struct ConnectionLimits {
    size_t workers = 64;
    size_t maxQueued = 1024;  // ready connections waiting for a worker; beyond: 503
    int retryAfterSeconds = 2;
    std::chrono::milliseconds readTimeout{10000};   // for a request's whole head
    std::chrono::milliseconds writeTimeout{30000};  // for each stalled write to the client
    std::chrono::milliseconds keepAlive{5000};      // idle time before a kept-alive connection closes
    size_t maxRequestsPerConnection = 10000;
};

// Counters for /healthz and tests; read without a lock, so only roughly consistent.
struct ConnectionCounters {
    std::atomic<size_t> open{0}, queued{0}, busy{0}, rejected{0}, timedOut{0};
};

class ConnectionServer : public httplib::Server {
  public:
    explicit ConnectionServer(ConnectionLimits limits);
    ~ConnectionServer() override;

    // Serve TLS (1.2 or newer) with a PEM certificate chain and key; false with `error` set when
    // they cannot be loaded or do not match.
    bool UseTls(const std::string& certFile, const std::string& keyFile, std::string& error);

    // Binds and listens; returns the port (a free one for 0) or -1.
    int Bind(const std::string& address, int port);
    // Serves until Stop(); in-flight requests are finished or cut at their next write.
    void Run();
    // Safe from any thread, also from a signal-waiting thread.
    void Stop();

    const ConnectionCounters& Counters() const { return counters_; }

    // Called on the poller thread for each connection refused with 503 (for the log).
    std::function<void(const std::string& remoteAddress)> onReject;

    // The bytes written to the client and the time since its request became ready, for the
    // request being answered on the calling worker thread (the access log's figures).
    static size_t CurrentBytesSent();
    static std::chrono::steady_clock::duration CurrentElapsed();

  private:
    struct Connection;
    class Stream;

    void PollLoop();
    void WorkLoop();
    void AcceptAll();
    void Ready(std::unique_ptr<Connection> connection);
    void Park(std::unique_ptr<Connection> connection);
    void Reject(std::unique_ptr<Connection> connection);
    void Close(std::unique_ptr<Connection> connection);
    void ExpireParked();
    bool ServeOne(Connection& connection);

    ConnectionLimits limits_;
    ConnectionCounters counters_;
    int listenFd_ = -1, epollFd_ = -1, wakeFd_ = -1;
    void* tls_ = nullptr;  // SSL_CTX*, owned

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::unique_ptr<Connection>> queue_;
    std::unordered_map<int, std::unique_ptr<Connection>> parked_;  // by descriptor
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace fileservice
