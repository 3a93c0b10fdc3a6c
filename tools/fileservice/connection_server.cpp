#include "tools/fileservice/connection_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/fileservice/file_service.h"

namespace fileservice {

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kReadBuffer = 16 * 1024;
// The most one request may send: its head and a small body (the service's requests have none). The
// library limits a header line, not their number, so without this a client could fill the memory
// with headers for as long as the read timeout lasts.
constexpr size_t kMaxRequestBytes = 256 * 1024;
constexpr size_t kMaxBody = 64 * 1024;
// A refused connection is drained for this long after its 503, so that closing it with unread
// request bytes does not reset it before the client has read the answer.
constexpr auto kLingerAfterReject = std::chrono::seconds(2);

int MillisecondsUntil(Clock::time_point deadline, std::chrono::milliseconds cap) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp(left, std::chrono::milliseconds(0), cap).count());
}

bool WaitFor(int fd, short events, int milliseconds) {
    pollfd p{fd, events, 0};
    int n;
    do n = ::poll(&p, 1, milliseconds);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

void AddressOf(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    char service[16] = "";
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, text, sizeof text, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = text;
        port = std::atoi(service);
    }
}

SSL_CTX* Tls(void* context) { return static_cast<SSL_CTX*>(context); }

thread_local size_t tBytesSent = 0;
thread_local Clock::time_point tRequestReady;

}  // namespace

struct ConnectionServer::Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    bool handshaken = false;
    bool lingering = false;  // refused: drained until the client closes or the deadline
    std::string remoteIp, localIp;
    int remotePort = -1, localPort = -1;
    std::vector<char> buffer = std::vector<char>(kReadBuffer);
    size_t begin = 0, end = 0;  // unread bytes in buffer
    size_t served = 0;
    Clock::time_point deadline;  // while parked: when it is closed

    ~Connection() {
        if (ssl) {
            SSL_free(ssl);
        }
        if (fd >= 0) ::close(fd);
    }
    bool HasBuffered() const { return begin < end || (ssl && SSL_pending(ssl) > 0); }
};

// One request's view of a connection: reads through the connection's buffer with a deadline for the
// whole request head, writes with a timeout per stalled write.
class ConnectionServer::Stream : public httplib::Stream {
  public:
    Stream(Connection& connection, const ConnectionLimits& limits, Clock::time_point deadline)
        : c_(connection), limits_(limits), deadline_(deadline) {}

    bool TimedOut() const { return timedOut_; }
    bool TooLong() const { return received_ >= kMaxRequestBytes; }

    bool Handshake() {
        for (;;) {
            const int r = SSL_accept(c_.ssl);
            if (r == 1) return true;
            if (!WaitForTls(r)) return false;
        }
    }

    bool is_readable() const override {
        return c_.HasBuffered() || WaitFor(c_.fd, POLLIN, MillisecondsUntil(deadline_, limits_.readTimeout));
    }
    bool is_writable() const override {
        return WaitFor(c_.fd, POLLOUT, static_cast<int>(limits_.writeTimeout.count()));
    }

    ssize_t read(char* ptr, size_t size) override {
        if (received_ >= kMaxRequestBytes) return -1;
        if (c_.begin == c_.end) {
            c_.begin = c_.end = 0;
            const ssize_t n = Receive(c_.buffer.data(), c_.buffer.size());
            if (n <= 0) return n;
            c_.end = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, c_.end - c_.begin);
        std::memcpy(ptr, c_.buffer.data() + c_.begin, n);
        c_.begin += n;
        received_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        size_t done = 0;
        while (done < size) {
            ssize_t n;
            if (c_.ssl) {
                n = SSL_write(c_.ssl, ptr + done, static_cast<int>(std::min<size_t>(size - done, 1 << 30)));
                if (n <= 0) {
                    if (!WaitForTls(static_cast<int>(n), limits_.writeTimeout)) return -1;
                    continue;
                }
            } else {
                n = ::send(c_.fd, ptr + done, size - done, MSG_NOSIGNAL);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    if ((errno != EAGAIN && errno != EWOULDBLOCK) ||
                        !WaitFor(c_.fd, POLLOUT, static_cast<int>(limits_.writeTimeout.count())))
                        return -1;
                    continue;
                }
            }
            done += static_cast<size_t>(n);
            tBytesSent += static_cast<size_t>(n);
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.remoteIp;
        port = c_.remotePort;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.localIp;
        port = c_.localPort;
    }
    socket_t socket() const override { return c_.fd; }

  private:
    // 0 at the client's end, -1 on an error or when the head's deadline passes.
    ssize_t Receive(char* ptr, size_t size) {
        for (;;) {
            if (c_.ssl) {
                const int n = SSL_read(c_.ssl, ptr, static_cast<int>(size));
                if (n > 0) return n;
                if (SSL_get_error(c_.ssl, n) == SSL_ERROR_ZERO_RETURN) return 0;
                if (!WaitForTls(n)) return -1;
                continue;
            }
            const ssize_t n = ::recv(c_.fd, ptr, size, 0);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            if (!WaitForInput(POLLIN)) return -1;
        }
    }

    bool WaitForInput(short events) {
        const int wait = MillisecondsUntil(deadline_, limits_.readTimeout);
        if (wait > 0 && WaitFor(c_.fd, events, wait)) return true;
        timedOut_ = true;
        return false;
    }

    // After a TLS call that did not complete: waits for what it needs. Reads count against the
    // head's deadline, writes against the write timeout.
    bool WaitForTls(int result, std::chrono::milliseconds writeWait = {}) {
        switch (SSL_get_error(c_.ssl, result)) {
            case SSL_ERROR_WANT_READ:
                return WaitForInput(POLLIN);
            case SSL_ERROR_WANT_WRITE:
                return WaitFor(
                    c_.fd, POLLOUT,
                    static_cast<int>((writeWait.count() ? writeWait : limits_.writeTimeout).count()));
            default:
                ERR_clear_error();
                return false;
        }
    }

    Connection& c_;
    const ConnectionLimits& limits_;
    Clock::time_point deadline_;
    bool timedOut_ = false;
    size_t received_ = 0;
};

ConnectionServer::ConnectionServer(ConnectionLimits limits) : limits_(limits) {
    set_keep_alive_timeout(std::max<time_t>(1, static_cast<time_t>(limits_.keepAlive.count() / 1000)));
    set_keep_alive_max_count(limits_.maxRequestsPerConnection);
    set_payload_max_length(kMaxBody);
}

ConnectionServer::~ConnectionServer() {
    svr_sock_ = INVALID_SOCKET;
    if (listenFd_ >= 0) ::close(listenFd_);
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (tls_) SSL_CTX_free(Tls(tls_));
}

bool ConnectionServer::UseTls(const std::string& certFile, const std::string& keyFile, std::string& error) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    const auto fail = [&](const std::string& what) {
        const unsigned long code = ERR_get_error();
        char text[256] = "";
        if (code) ERR_error_string_n(code, text, sizeof text);
        error = what + (code ? std::string(": ") + text : std::string());
        ERR_clear_error();
        SSL_CTX_free(context);
        return false;
    };
    if (!context) return fail("cannot create a TLS context");
    // TLS 1.2 stays accepted: Wine's WinHTTP and older Windows clients speak nothing newer.
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1)
        return fail("cannot read the certificate " + certFile);
    if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return fail("cannot read the key " + keyFile);
    if (SSL_CTX_check_private_key(context) != 1) return fail("the key does not match the certificate");
    if (tls_) SSL_CTX_free(Tls(tls_));
    tls_ = context;
    return true;
}

int ConnectionServer::Bind(const std::string& address, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    for (addrinfo* a = found; a && listenFd_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        // SO_REUSEADDR only: SO_REUSEPORT would let a second service share a port in use.
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0)
            listenFd_ = fd;
        else
            ::close(fd);
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) return -1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    std::string ip;
    int boundPort = -1;
    AddressOf(bound, ip, boundPort);
    return boundPort;
}

void ConnectionServer::Run() {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    for (const int fd : {listenFd_, wakeFd_}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
    }
    // The library stops writing a body when this is invalid: it marks the server running.
    svr_sock_ = listenFd_;
    for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { WorkLoop(); });
    PollLoop();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
    std::lock_guard lock(mutex_);
    queue_.clear();
    parked_.clear();
}

void ConnectionServer::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    svr_sock_ = INVALID_SOCKET;
    ready_.notify_all();
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }
}

size_t ConnectionServer::CurrentBytesSent() { return tBytesSent; }
Clock::duration ConnectionServer::CurrentElapsed() { return Clock::now() - tRequestReady; }

void ConnectionServer::PollLoop() {
    std::vector<epoll_event> events(256);
    auto nextExpiry = Clock::now();
    for (;;) {
        const int n = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), 200);
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listenFd_) {
                AcceptAll();
                continue;
            }
            if (fd == wakeFd_) continue;
            std::unique_ptr<Connection> connection;
            {
                std::lock_guard lock(mutex_);
                const auto it = parked_.find(fd);
                if (it == parked_.end()) continue;
                connection = std::move(it->second);
                parked_.erase(it);
            }
            if (connection->lingering) {
                char sink[4096];
                ssize_t got;
                while ((got = ::recv(fd, sink, sizeof sink, 0)) > 0) {
                }
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    Park(std::move(connection));
                else
                    Close(std::move(connection));
                continue;
            }
            if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                Close(std::move(connection));
                continue;
            }
            Ready(std::move(connection));
        }
        if (Clock::now() >= nextExpiry) {
            ExpireParked();
            nextExpiry = Clock::now() + std::chrono::milliseconds(200);
        }
    }
}

void ConnectionServer::AcceptAll() {
    for (;;) {
        sockaddr_storage remote{};
        socklen_t length = sizeof remote;
        const int fd =
            accept4(listenFd_, reinterpret_cast<sockaddr*>(&remote), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the pending connections wait in the backlog until some close;
            // a short pause keeps the always-readable listening socket from spinning this thread.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        AddressOf(remote, connection->remoteIp, connection->remotePort);
        sockaddr_storage local{};
        length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            AddressOf(local, connection->localIp, connection->localPort);
        if (tls_) {
            connection->ssl = SSL_new(Tls(tls_));
            if (!connection->ssl) continue;
            SSL_set_fd(connection->ssl, fd);
        }
        ++counters_.open;
        // Its first request (or TLS handshake) must start within the read timeout.
        connection->deadline = Clock::now() + limits_.readTimeout;
        Park(std::move(connection));
    }
}

void ConnectionServer::Park(std::unique_ptr<Connection> connection) {
    const int fd = connection->fd;
    std::lock_guard lock(mutex_);
    if (stopping_) {
        --counters_.open;
        return;
    }
    parked_[fd] = std::move(connection);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.fd = fd;
    if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) != 0) epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
}

void ConnectionServer::Ready(std::unique_ptr<Connection> connection) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() < limits_.maxQueued) {
            queue_.push_back(std::move(connection));
            ++counters_.queued;
            ready_.notify_one();
            return;
        }
    }
    Reject(std::move(connection));
}

void ConnectionServer::Reject(std::unique_ptr<Connection> connection) {
    ++counters_.rejected;
    if (onReject) onReject(connection->remoteIp);
    // A TLS connection would need a handshake before any answer: it is closed, which the launcher
    // retries like a 503.
    if (connection->ssl) return Close(std::move(connection));
    const std::string body =
        ErrorRecordJSON({503, "Service Unavailable", "The service is busy; try again shortly."});
    const std::string answer =
        "HTTP/1.1 503 Service Unavailable\r\nRetry-After: " + std::to_string(limits_.retryAfterSeconds) +
        "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
    // The socket's send buffer is empty: the whole answer fits without waiting.
    [[maybe_unused]] const auto sent =
        ::send(connection->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(connection->fd, SHUT_WR);
    connection->lingering = true;
    connection->deadline = Clock::now() + kLingerAfterReject;
    Park(std::move(connection));
}

void ConnectionServer::Close(std::unique_ptr<Connection> connection) {
    if (connection->ssl && connection->handshaken) {
        SSL_set_shutdown(connection->ssl, SSL_RECEIVED_SHUTDOWN);
        SSL_shutdown(connection->ssl);
        ERR_clear_error();
    }
    connection.reset();
    --counters_.open;
}

void ConnectionServer::ExpireParked() {
    std::vector<std::unique_ptr<Connection>> expired;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (auto it = parked_.begin(); it != parked_.end();) {
            if (it->second->deadline <= now) {
                if (!it->second->lingering && it->second->served == 0) ++counters_.timedOut;
                expired.push_back(std::move(it->second));
                it = parked_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : expired) Close(std::move(connection));
}

void ConnectionServer::WorkLoop() {
    for (;;) {
        std::unique_ptr<Connection> connection;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            connection = std::move(queue_.front());
            queue_.pop_front();
            --counters_.queued;
        }
        ++counters_.busy;
        const bool keep = ServeOne(*connection);
        --counters_.busy;
        if (!keep) {
            Close(std::move(connection));
        } else if (connection->HasBuffered()) {
            Ready(std::move(connection));  // a pipelined request: back in line behind the others
        } else {
            connection->deadline = Clock::now() + limits_.keepAlive;
            Park(std::move(connection));
        }
    }
}

bool ConnectionServer::ServeOne(Connection& connection) {
    Stream stream(connection, limits_, Clock::now() + limits_.readTimeout);
    tBytesSent = 0;
    tRequestReady = Clock::now();
    if (connection.ssl && !connection.handshaken) {
        if (!stream.Handshake()) {
            if (stream.TimedOut()) ++counters_.timedOut;
            return false;
        }
        connection.handshaken = true;
        if (!connection.HasBuffered() && !WaitFor(connection.fd, POLLIN, 0))
            return true;  // request not yet sent
    }
    bool stopping;
    {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
    }
    const bool last = ++connection.served >= limits_.maxRequestsPerConnection || stopping;
    bool closed = false;
    const bool ok = process_request(stream, last, closed, [](httplib::Request& req) {
        // Ranges are answered by the handlers, which know the file and its validators.
        req.ranges.clear();
    });
    if (stream.TimedOut() || stream.TooLong()) {
        // The library answered 400 to the incomplete head; the connection goes, or the rest of it
        // would be read as the next request.
        if (stream.TimedOut()) ++counters_.timedOut;
        return false;
    }
    return ok && !closed && !last;
}

}  // namespace fileservice
