#pragma once
// A small HTTP server on loopback, run on a thread of the test, that answers each path with a
// scripted reply and keeps what it received. It speaks just enough HTTP for the protocol's corners
// that the reference service never produces: odd statuses, charsets, cut and reset connections,
// busy answers, byte ranges, silence.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/handles.h"

struct ReceivedRequest {
    std::string requestLine;                            // "GET /folderlist?folder=%5C HTTP/1.1"
    std::vector<std::string> headerLines;               // "Accept: ..." as sent
    std::string body;                                   // as many bytes as Content-Length announced
    std::string Header(const std::string& name) const;  // value of the first header of that name
    std::string Target() const;                         // "/folderlist?folder=%5C"
};

class ScriptedServer {
  public:
    // Writes the reply on the connection; the connection is closed afterwards.
    using Reply = std::function<void(SOCKET connection, const ReceivedRequest& request)>;

    // Listens on `port` of loopback (any free one when 0).
    explicit ScriptedServer(unsigned short port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Answers requests whose path (the target before "?") is `path`.
    void On(const std::string& path, Reply reply);
    // Answers with these exact bytes.
    void On(const std::string& path, const std::string& rawResponse);

    std::wstring BaseURL() const;
    std::vector<ReceivedRequest> Requests() const;

    // Replies with a status line, headers and body, Content-Length set unless `headers` has one.
    static std::string Response(const std::string& statusLine, const std::string& headers,
                                const std::string& body);
    // Waits until the server is stopped (a reply that never comes).
    void HoldUntilStopped() const;
    static void Send(SOCKET connection, const std::string& bytes);
    // Sends `head`, then body bytes without end until the peer stops taking them or `limit` bytes
    // have gone; returns how many body bytes went out.
    static uint64_t SendWithoutEnd(SOCKET connection, const std::string& head, uint64_t limit);
    // Sends the first `count` bytes only; the connection then ends as usual (or with a reset).
    static void SendCut(SOCKET connection, const std::string& bytes, size_t count);
    // Makes the end of this connection a reset (RST) instead of an orderly close.
    static void Reset(SOCKET connection);
    // The answer of a server that serves `content` under the strong ETag `etag` and honours byte
    // ranges: 206 with the rest for "Range: bytes=N-" whose If-Range names `etag` (or is absent),
    // otherwise 200 with the whole, "Accept-Ranges: bytes" and the ETag on both.
    static std::string RangedResponse(const ReceivedRequest& request, const std::string& content,
                                      const std::string& etag);

  private:
    void Serve();

    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    unique_handle stopped_;
    mutable std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<ReceivedRequest> requests_;
    std::thread thread_;
};

// A loopback port on which nothing listens (bound, then closed).
unsigned short ClosedPort();
