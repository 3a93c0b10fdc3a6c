#include "launcher/catalogue/module_start.h"

#include <windows.h>

#include "base/event_log.h"
#include "base/win32_error.h"
#include "launcher/catalogue/folders.h"
#include "launcher/catalogue/startup_record.h"

bool StartModule(const std::wstring& APath) {
    if (!FileExistsFollowingLinks(APath)) return false;
    // The command line is the bare path, as the modules have always received it; naming the program
    // as well keeps a path with blanks from being searched piece by piece.
    std::wstring commandLine = APath;
    if (CreateProcessW(APath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &StartupInfo, &ProcessInfo)) {
        LogEvent(
            TLogLine(TLogLevel::Info, "module-start").Add("path", APath).Add("pid", ProcessInfo.dwProcessId));
        CloseHandle(ProcessInfo.hProcess);
        CloseHandle(ProcessInfo.hThread);
    } else {
        const Win32Error error(GetLastError(), TErrorCategory::Other);
        LogEvent(
            TLogLine(TLogLevel::Error, "module-start-failed").Add("path", APath).Add("reason", error.what()));
    }
    return true;
}
