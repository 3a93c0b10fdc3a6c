#pragma once
// What the launcher's benches under Wine share: a Linux process (the reference file service, a
// throttle) started beside the bench and ended with it, the median of alternating runs, and one run
// of the files updater timed to its report.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/string_convert.h"
#include "support/test_files.h"
#include "update/report/fetch_progress.h"
#include "update/updater/files_updater.h"

namespace bench {

// "Z:\tmp\x\" as the Linux side names it: "/tmp/x".
inline std::wstring LinuxPath(std::wstring path) {
    if (path.size() >= 2 && path[1] == L':') path.erase(0, 2);
    std::replace(path.begin(), path.end(), L'\\', L'/');
    while (path.size() > 1 && path.back() == L'/') path.pop_back();
    return path;
}

inline std::string ReadSmall(const std::wstring& path) {
    const std::string text = ReadWholeFile(path);
    return text == "<missing>" ? "" : text;
}

// Starts a Linux command through Wine's Z: drive, without waiting for it.
inline bool RunLinux(std::wstring command) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// A Linux process that takes the file to write its port into as its last argument; its output is
// kept in a file. Ended with SIGTERM when this goes.
class Listener {
  public:
    Listener(const std::wstring& ACommand, const std::wstring& AScratch)
        : FPid(AScratch + L"pid"), FPort(AScratch + L"port"), FLog(AScratch + L"log") {
        if (!RunLinux(L"Z:\\bin\\sh -c \"echo $$ > " + LinuxPath(FPid) + L"; exec " + ACommand + L" " +
                      LinuxPath(FPort) + L" > " + LinuxPath(FLog) + L" 2>/dev/null\""))
            return;
        for (int i = 0; i < 400 && FPortNumber == 0; ++i) {
            FPortNumber = std::atoi(ReadSmall(FPort).c_str());
            if (FPortNumber == 0) Sleep(25);
        }
    }
    ~Listener() {
        std::string pid = ReadSmall(FPid);
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r')) pid.pop_back();
        if (!pid.empty()) RunLinux(L"Z:\\bin\\kill -TERM " + Utf8ToWide(pid));
        Sleep(200);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool Up() const { return FPortNumber != 0; }
    int Port() const { return FPortNumber; }
    std::wstring URL() const { return L"http://127.0.0.1:" + std::to_wstring(FPortNumber); }
    // Lines of its output so far: for the file service, its access log, one line per request answered.
    size_t Lines() const {
        Sleep(200);
        const std::string log = ReadSmall(FLog);
        return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
    }

  private:
    std::wstring FPid, FPort, FLog;
    int FPortNumber = 0;
};

// The reference file service over AFolder.
inline std::wstring FileServiceCommand(const std::wstring& ABinary, const std::wstring& AFolder) {
    return ABinary + L" --folder " + LinuxPath(AFolder) + L" --port 0 --port-file";
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct UpdateRun {
    double ms = 0;
    uint64_t bytes = 0;
    bool clean = false;
};

// One update of Module.exe's files by the files updater, to its report.
inline UpdateRun UpdateOnce(const std::wstring& ALocal, const std::wstring& AServer, const std::wstring& AURL,
                            const TUpdateVerification& AVerification) {
    UpdateRun run;
    bool done = false;
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<IFilesUpdater> updater =
        TFilesUpdater::New(ALocal, AServer, AURL, AVerification, [&](const TVerificationReport& AReport) {
            run.clean = AReport.Clean();
            done = true;
            PostQuitMessage(0);
        });
    updater->Execute(L"Module.exe", true);
    MSG msg;
    while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    run.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.bytes = updater->Progress()->Figures().Bytes;
    return run;
}

}  // namespace bench
