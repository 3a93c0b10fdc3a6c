#pragma once
// HTTP servers for the updater's service tests: a scripted one inside the test process that can fail
// on purpose and counts what it was asked, and the reference file service run as a Linux process.
#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Answers each request with what the handler returns. A reply with a body shorter than its
// Content-Length ends the connection half-way through the download, as a server that dies would.
class ScriptedHttpServer {
  public:
    struct Reply {
        int status = 200;
        std::string body;
        size_t announcedLength = std::string::npos;  // npos: the body's own length
    };
    using Handler = std::function<Reply(const std::string& target)>;

    explicit ScriptedHttpServer(Handler handler);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    std::wstring URL() const;
    // Request targets received so far, in order of arrival.
    std::vector<std::string> Targets() const;

  private:
    void Serve(SOCKET client);

    Handler handler_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> targets_;
};

// The reference file service serving a folder, started through Wine's launching of Linux programs
// and stopped with SIGTERM when the fixture goes. Available() is false when the service has not been
// built (the native tree); the tests that need it then skip.
class ReferenceService {
  public:
    // folder: a Windows path on Wine's Z: drive (the Linux root).
    explicit ReferenceService(const std::wstring& folder);
    ~ReferenceService();
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    bool Available() const { return port_ != 0; }
    std::wstring URL() const;

  private:
    std::wstring pidFile_, portFile_;
    int port_ = 0;
};

// Percent-decodes a query value as the tests need it (%XX only).
std::string PercentDecoded(const std::string& text);
// JSON list text of (name, ISO age) pairs, names escaped for JSON.
std::string FileListJSON(const std::vector<std::pair<std::string, std::string>>& files);
