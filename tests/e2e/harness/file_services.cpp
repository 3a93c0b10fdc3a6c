#include "file_services.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/listing_json.h"
#include "common/query_string.h"
#include "harness.h"

namespace e2e {

namespace {

void SendAll(SOCKET ASocket, const std::string& AData) {
    size_t sent = 0;
    while (sent < AData.size()) {
        const int n = send(ASocket, AData.data() + sent, static_cast<int>(AData.size() - sent), 0);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

std::string LinuxPathOf(const std::wstring& AWindowsPath) {
    // Wine knows where each drive lies; ask it, and fall back to Z: being "/".
    using UnixName = char*(CDECL*)(LPCWSTR);
    if (auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")))) {
        if (char* name = unixName(AWindowsPath.c_str())) {
            std::string result(name);
            HeapFree(GetProcessHeap(), 0, name);
            return result;
        }
    }
    std::wstring path = AWindowsPath;
    if (path.size() >= 2 && (path[0] == L'Z' || path[0] == L'z') && path[1] == L':') path.erase(0, 2);
    for (wchar_t& c : path)
        if (c == L'\\') c = L'/';
    return std::string(path.begin(), path.end());
}

bool RunAndWait(std::wstring ACommandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, ACommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

bool RunLinuxScript(const std::string& AScript) {
    return RunAndWait(L"Z:\\bin\\sh -c \"" + std::wstring(AScript.begin(), AScript.end()) + L"\"");
}

ScriptedFileService::ScriptedFileService(std::vector<File> AFiles, std::chrono::milliseconds ADownloadDelay)
    : FFiles(std::move(AFiles)), FDelay(ADownloadDelay) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    FListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(FListener, 64);
    int length = sizeof(address);
    getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    FAcceptor = std::thread([this] { Serve(); });
}

ScriptedFileService::~ScriptedFileService() {
    FStopping = true;
    closesocket(FListener);
    FAcceptor.join();
    std::vector<std::thread> clients;
    {
        std::lock_guard<std::mutex> lock(FLock);
        clients.swap(FClients);
    }
    for (std::thread& t : clients) t.join();
    WSACleanup();
}

std::wstring ScriptedFileService::URL() const { return L"http://127.0.0.1:" + std::to_wstring(FPort); }

std::vector<std::string> ScriptedFileService::Requests() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FRequests;
}

void ScriptedFileService::AnswerBusy(const std::string& APrefix, int ACount, int ARetryAfterSeconds) {
    std::lock_guard<std::mutex> lock(FLock);
    FBusyPrefix = APrefix;
    FBusyCount = ACount;
    FBusyRetryAfter = ARetryAfterSeconds;
}

void ScriptedFileService::Serve() {
    while (!FStopping) {
        SOCKET client = accept(FListener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        std::lock_guard<std::mutex> lock(FLock);
        FClients.emplace_back([this, client] { Answer(client); });
    }
}

void ScriptedFileService::Answer(SOCKET AClient) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const int n = recv(AClient, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    }
    const size_t start = request.find(' ') + 1;
    const std::string target = request.substr(start, request.find(' ', start) - start);
    bool busy = false;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FRequests.push_back(target);
        if (FBusyCount > 0 && target.rfind(FBusyPrefix, 0) == 0) {
            --FBusyCount;
            busy = true;
        }
    }
    std::string status = "200 OK", type = "application/json; charset=utf-8", body, headers;
    if (busy) {
        status = "503 Service Unavailable";
        type = "text/plain";
        headers = "Retry-After: " + std::to_string(FBusyRetryAfter) + "\r\n";
    } else if (target.rfind("/folderlist", 0) == 0) {
        std::vector<ListingEntry> listed;
        for (const File& f : FFiles) listed.push_back({f.name, f.age});
        body = ListingJson(listed);
    } else if (target.rfind("/download?file=", 0) == 0) {
        std::this_thread::sleep_for(FDelay);
        const std::string name = PercentDecode(target.substr(15));
        status = "404 Not Found";
        type = "text/plain";
        body = "not found";
        for (const File& f : FFiles) {
            if (_stricmp(f.name.c_str(), name.c_str()) == 0) {
                status = "200 OK";
                type = "application/octet-stream";
                body = f.content;
            }
        }
    } else {
        status = "404 Not Found";
    }
    SendAll(AClient, "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\n" + headers +
                         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                         body);
    shutdown(AClient, SD_SEND);
    closesocket(AClient);
    std::lock_guard<std::mutex> lock(FLock);
    FRequests.push_back("done " + target);
}

ReferenceFileService::ReferenceFileService(const std::wstring& AFolder, const std::string& AArguments)
    : FTls(AArguments.find("--tls-cert") != std::string::npos) {
    wchar_t binary[1024] = {};
    if (!GetEnvironmentVariableW(L"AUREVIA_E2E_FILESERVICE", binary, 1024)) return;
    if (GetFileAttributesW((std::wstring(L"Z:") + binary).c_str()) == INVALID_FILE_ATTRIBUTES) return;
    const std::wstring base = AFolder.substr(0, AFolder.find_last_not_of(L'\\') + 1);
    FPidFile = base + L".pid";
    FPortFile = base + L".port";
    // The shell writes its pid, then becomes the service: that pid is the one to signal. The tests
    // change the served folder and list it at once, with no copy in progress: no settle time.
    const std::string script = "echo $$ > " + LinuxPathOf(FPidFile) + "; exec " + LinuxPathOf(binary) +
                               " --folder " + LinuxPathOf(AFolder) + " --port 0 --port-file " +
                               LinuxPathOf(FPortFile) + " --settle-ms 0 " + AArguments + " >/dev/null";
    std::wstring commandLine = L"Z:\\bin\\sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    WaitUntil(
        [&] {
            FPort = std::atoi(ReadTextFile(FPortFile).c_str());
            return FPort != 0;
        },
        5s);
}

ReferenceFileService::~ReferenceFileService() {
    if (FPidFile.empty()) return;
    const int pid = std::atoi(ReadTextFile(FPidFile).c_str());
    if (pid > 0) RunAndWait(L"Z:\\bin\\kill -TERM " + std::to_wstring(pid));
    DeleteFileW(FPidFile.c_str());
    DeleteFileW(FPortFile.c_str());
}

std::wstring ReferenceFileService::URL() const {
    // WinHTTP matches a certificate's DNS names, not addresses.
    return (FTls ? L"https://localhost:" : L"http://127.0.0.1:") + std::to_wstring(FPort);
}

}  // namespace e2e
