#include "support/scripted_server.h"

#include <ws2tcpip.h>

#include <stdexcept>

namespace {

struct WinsockStartup {
    WinsockStartup() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

void EnsureWinsock() { static WinsockStartup startup; }

SOCKET BoundLoopbackSocket(unsigned short& port) {
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        throw std::runtime_error("cannot bind a loopback socket");
    }
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return s;
}

}  // namespace

std::string ReceivedRequest::Header(const std::string& name) const {
    for (const auto& line : headerLines) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon != name.size()) continue;
        if (_strnicmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
        size_t start = colon + 1;
        while (start < line.size() && line[start] == ' ') ++start;
        return line.substr(start);
    }
    return {};
}

std::string ReceivedRequest::Target() const {
    const size_t start = requestLine.find(' ') + 1;
    return requestLine.substr(start, requestLine.find(' ', start) - start);
}

ScriptedServer::ScriptedServer(unsigned short port)
    : port_(port), stopped_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    listener_ = BoundLoopbackSocket(port_);
    listen(listener_, 16);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
    SetEvent(stopped_.get());
    closesocket(listener_);
    thread_.join();
}

void ScriptedServer::On(const std::string& path, Reply reply) {
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(reply);
}

void ScriptedServer::On(const std::string& path, const std::string& rawResponse) {
    On(path, [rawResponse](SOCKET connection, const ReceivedRequest&) { Send(connection, rawResponse); });
}

std::wstring ScriptedServer::BaseURL() const { return L"http://127.0.0.1:" + std::to_wstring(port_); }

std::vector<ReceivedRequest> ScriptedServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::string ScriptedServer::Response(const std::string& statusLine, const std::string& headers,
                                     const std::string& body) {
    std::string response = statusLine + "\r\n" + headers;
    if (headers.find("Content-Length:") == std::string::npos)
        response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return response + "Connection: close\r\n\r\n" + body;
}

void ScriptedServer::HoldUntilStopped() const { WaitForSingleObject(stopped_.get(), INFINITE); }

void ScriptedServer::Send(SOCKET connection, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = send(connection, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

uint64_t ScriptedServer::SendWithoutEnd(SOCKET connection, const std::string& head, uint64_t limit) {
    Send(connection, head);
    const std::string piece(64 * 1024, 'x');
    uint64_t sent = 0;
    while (sent < limit) {
        const int n = send(connection, piece.data(), static_cast<int>(piece.size()), 0);
        if (n <= 0) break;
        sent += static_cast<uint64_t>(n);
    }
    return sent;
}

void ScriptedServer::SendCut(SOCKET connection, const std::string& bytes, size_t count) {
    Send(connection, bytes.substr(0, count));
}

void ScriptedServer::Reset(SOCKET connection) {
    linger abortive{1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof(abortive));
}

std::string ScriptedServer::RangedResponse(const ReceivedRequest& request, const std::string& content,
                                           const std::string& etag) {
    const std::string headers = "Accept-Ranges: bytes\r\nETag: " + etag + "\r\n";
    const std::string range = request.Header("Range");
    const std::string ifRange = request.Header("If-Range");
    size_t first = 0;
    if (range.starts_with("bytes=") && range.ends_with("-") && (ifRange.empty() || ifRange == etag))
        first = std::stoul(range.substr(6));
    if (first == 0 || first >= content.size()) return Response("HTTP/1.1 200 OK", headers, content);
    return Response("HTTP/1.1 206 Partial Content",
                    headers + "Content-Range: bytes " + std::to_string(first) + "-" +
                        std::to_string(content.size() - 1) + "/" + std::to_string(content.size()) + "\r\n",
                    content.substr(first));
}

void ScriptedServer::Serve() {
    for (;;) {
        SOCKET connection = accept(listener_, nullptr, nullptr);
        if (connection == INVALID_SOCKET) return;  // the listener was closed: stop
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const int n = recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            head.append(buffer, static_cast<size_t>(n));
        }
        ReceivedRequest request;
        size_t lineStart = 0;
        for (size_t end; (end = head.find("\r\n", lineStart)) != std::string::npos && end > lineStart;
             lineStart = end + 2) {
            std::string line = head.substr(lineStart, end - lineStart);
            if (request.requestLine.empty())
                request.requestLine = std::move(line);
            else
                request.headerLines.push_back(std::move(line));
        }
        const std::string length = request.Header("Content-Length");
        const size_t headEnd = head.find("\r\n\r\n");
        if (!length.empty() && headEnd != std::string::npos) {
            const size_t expected = std::stoul(length);
            request.body = head.substr(headEnd + 4);
            while (request.body.size() < expected) {
                const int n = recv(connection, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                request.body.append(buffer, static_cast<size_t>(n));
            }
        }
        const std::string target = request.Target();
        const std::string path = target.substr(0, target.find('?'));
        Reply reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            const auto it = replies_.find(path);
            if (it != replies_.end()) reply = it->second;
        }
        if (reply)
            reply(connection, request);
        else
            Send(connection, Response("HTTP/1.1 500 No Script", "", ""));
        // An orderly close sends what is still queued; a reply that asked for a reset skips it.
        linger how{};
        int size = sizeof(how);
        getsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&how), &size);
        if (!(how.l_onoff && how.l_linger == 0)) shutdown(connection, SD_SEND);
        closesocket(connection);
    }
}

unsigned short ClosedPort() {
    unsigned short port = 0;
    closesocket(BoundLoopbackSocket(port));
    return port;
}
