#include "http_fixtures.h"

#include <ws2tcpip.h>

#include <stdexcept>

#include "base/string_convert.h"

namespace {

struct WinsockSession {
    WinsockSession() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() { WSACleanup(); }
};

void EnsureWinsock() { static WinsockSession session; }

const char* ReasonOf(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::wstring LinuxPathOf(const std::wstring& windowsPath) {
    std::wstring path = windowsPath;
    if (path.size() >= 2 && (path[0] == L'Z' || path[0] == L'z') && path[1] == L':') path.erase(0, 2);
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

bool RunAndWait(std::wstring commandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

std::string ReadSmallFile(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    char buffer[64] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

}  // namespace

ScriptedHttpServer::ScriptedHttpServer(Handler handler) : handler_(std::move(handler)) {
    EnsureWinsock();
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (listener_ == INVALID_SOCKET ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 64) != 0)
        throw std::runtime_error("cannot listen");
    int length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
        for (;;) {
            const SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;  // the listener was closed
            Serve(client);
        }
    });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    closesocket(listener_);
    thread_.join();
}

std::wstring ScriptedHttpServer::URL() const { return L"http://127.0.0.1:" + std::to_wstring(port_); }

std::vector<std::string> ScriptedHttpServer::Targets() const {
    const std::lock_guard lock(mutex_);
    return targets_;
}

void ScriptedHttpServer::Serve(SOCKET client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const int got = recv(client, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        request.append(buffer, got);
    }
    const size_t start = request.find(' ') + 1;
    const std::string target = request.substr(start, request.find(' ', start) - start);
    {
        const std::lock_guard lock(mutex_);
        targets_.push_back(target);
    }
    const Reply reply = handler_(target);
    const size_t length =
        reply.announcedLength == std::string::npos ? reply.body.size() : reply.announcedLength;
    const std::string head =
        "HTTP/1.1 " + std::to_string(reply.status) + " " + ReasonOf(reply.status) +
        "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) +
        "\r\nConnection: close\r\n\r\n";
    const std::string answer = head + reply.body;
    send(client, answer.data(), static_cast<int>(answer.size()), 0);
    shutdown(client, SD_SEND);
    closesocket(client);
}

ReferenceService::ReferenceService(const std::wstring& folder) {
    std::wstring binary;
    for (const wchar_t* candidate : {AUREVIA_FILESERVICE_BUILT, AUREVIA_FILESERVICE_DIST}) {
        if (GetFileAttributesW((L"Z:" + std::wstring(candidate)).c_str()) != INVALID_FILE_ATTRIBUTES) {
            binary = candidate;
            break;
        }
    }
    if (binary.empty()) return;
    const std::wstring base = folder.substr(0, folder.find_last_not_of(L'\\') + 1);
    pidFile_ = base + L".pid";
    portFile_ = base + L".port";
    // The shell writes its pid, then becomes the service: that pid is the one to signal.
    const std::wstring script = L"echo $$ > " + LinuxPathOf(pidFile_) + L"; exec " + binary + L" --folder " +
                                LinuxPathOf(folder) + L" --port 0 --port-file " + LinuxPathOf(portFile_) +
                                L" >/dev/null";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = L"Z:\\bin\\sh -c \"" + script + L"\"";
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 200 && port_ == 0; ++i) {
        port_ = std::atoi(ReadSmallFile(portFile_).c_str());
        if (port_ == 0) Sleep(25);
    }
}

ReferenceService::~ReferenceService() {
    const std::string pid = ReadSmallFile(pidFile_);
    const int value = std::atoi(pid.c_str());
    if (value > 0) RunAndWait(L"Z:\\bin\\kill -TERM " + std::to_wstring(value));
    DeleteFileW(pidFile_.c_str());
    DeleteFileW(portFile_.c_str());
}

std::wstring ReferenceService::URL() const { return L"http://127.0.0.1:" + std::to_wstring(port_); }

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string FileListJSON(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string json = "[";
    for (const auto& [name, age] : files) {
        std::string escaped;
        for (char c : name) {
            if (c == '\\' || c == '"') escaped.push_back('\\');
            escaped.push_back(c);
        }
        if (json.size() > 1) json += ",";
        json += "{\"FileName\":\"" + escaped + "\",\"Age\":\"" + age + "\"}";
    }
    return json + "]";
}
