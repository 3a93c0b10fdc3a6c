#pragma once
// File services for the launcher's URL mode: a scripted one inside the test (fixed files, a chosen
// delay per download, a record of the requests) and the reference file service (a Linux program
// of the native tree, started through Wine's shell).
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class ScriptedFileService {
  public:
    struct File {
        std::string name;  // relative, backslashes between folders
        std::string content;
        std::string age;  // ISO 8601 local clock time, e.g. "2024-03-01T08:00:00.000"
    };
    ScriptedFileService(std::vector<File> AFiles, std::chrono::milliseconds ADownloadDelay);
    ~ScriptedFileService();
    ScriptedFileService(const ScriptedFileService&) = delete;
    ScriptedFileService& operator=(const ScriptedFileService&) = delete;
    std::wstring URL() const;
    // Request targets in arrival order, and "done " + target once each answer has been sent.
    std::vector<std::string> Requests() const;
    // Answers the next ACount requests whose target starts with APrefix with 503 and a Retry-After of
    // ARetryAfterSeconds, as a service at its limit does.
    void AnswerBusy(const std::string& APrefix, int ACount, int ARetryAfterSeconds);

  private:
    void Serve();
    void Answer(SOCKET AClient);

    std::vector<File> FFiles;
    std::chrono::milliseconds FDelay;
    SOCKET FListener = INVALID_SOCKET;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::thread FAcceptor;
    mutable std::mutex FLock;
    std::vector<std::thread> FClients;
    std::vector<std::string> FRequests;
    std::string FBusyPrefix;
    int FBusyCount = 0;
    int FBusyRetryAfter = 0;
};

// The reference file service over a folder; Running() is false when it has not been built.
class ReferenceFileService {
  public:
    // AArguments: more of the service's options, with Linux paths ("--reports /tmp/x/reports.db");
    // with --tls-cert the service speaks https.
    explicit ReferenceFileService(const std::wstring& AFolder, const std::string& AArguments = {});
    ~ReferenceFileService();
    ReferenceFileService(const ReferenceFileService&) = delete;
    ReferenceFileService& operator=(const ReferenceFileService&) = delete;
    bool Running() const { return FPort != 0; }
    std::wstring URL() const;

  private:
    bool FTls = false;
    std::wstring FPidFile, FPortFile;
    int FPort = 0;
};

// The Linux path of a Windows path (Wine's drives, Z: being "/").
std::string LinuxPathOf(const std::wstring& AWindowsPath);
// Runs a Linux shell script (no double quotes in it) through Wine and waits for it, at most 10 s;
// false when it could not be started.
bool RunLinuxScript(const std::string& AScript);

}  // namespace e2e
