#include "http_fixtures.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "common/listing_json.h"

std::wstring LinuxPathOf(const std::wstring& windowsPath) {
    std::wstring path = windowsPath;
    if (path.size() >= 2 && (path[0] == L'Z' || path[0] == L'z') && path[1] == L':') path.erase(0, 2);
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

namespace {

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

std::string RequestedFile(const ReceivedRequest& request) {
    const std::string target = request.Target();
    const size_t at = target.find("download?file=");
    return at == std::string::npos ? std::string() : PercentDecoded(target.substr(at + 14));
}

std::string ISOAge(TDateTime age) {
    const DateTimeParts p = DecodeDateTime(age);
    char text[40];
    snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour,
             p.minute, p.second, p.millisecond);
    return text;
}

std::string FileListJSON(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<ListingEntry> listed;
    for (const auto& [name, age] : files) listed.push_back({name, age});
    return ListingJson(listed);
}
