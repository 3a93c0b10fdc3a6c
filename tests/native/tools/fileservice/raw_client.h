#pragma once
// A client socket for the service's process tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

// A client socket that does exactly what a test tells it to, nothing more.
class RawClient {
  public:
    // `receiveBuffer` > 0 shrinks the socket's receive buffer (and so the window it offers).
    explicit RawClient(int port, int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const timeval wait{10, 0};  // a hung read fails the test instead of blocking it
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    int Fd() const { return fd_; }
    bool Connected() const { return connected_; }
    void Send(const std::string& text) const { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    // Everything until the server closes (or the read times out).
    std::string ReadToEnd() const {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) text.append(buffer, static_cast<size_t>(n));
        return text;
    }
    // The first answer's head and whatever came with it.
    std::string ReadSome() const {
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    // True when the server closed the connection (read end) rather than the read timing out.
    bool ClosedByServer() const {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
        }
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

  private:
    int fd_;
    bool connected_ = false;
};
