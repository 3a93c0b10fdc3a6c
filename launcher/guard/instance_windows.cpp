#include "launcher/guard/instance_windows.h"

HWND FindApplicationWindow(DWORD AProcessId) {
    struct Search {
        DWORD pid;
        HWND found;
    } search{AProcessId, nullptr};
    EnumWindows(
        [](HWND wnd, LPARAM lp) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(lp);
            DWORD owner = 0;
            GetWindowThreadProcessId(wnd, &owner);
            if (owner != s.pid) return TRUE;
            wchar_t cls[64];
            if (GetClassNameW(wnd, cls, 64) && lstrcmpW(cls, kApplicationWindowClass) == 0) {
                s.found = wnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> ThreadWindows(DWORD AThreadId) {
    std::vector<HWND> windows;
    EnumThreadWindows(
        AThreadId,
        [](HWND wnd, LPARAM lp) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(lp)->push_back(wnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// The application window of a launcher is hidden for its whole life, and its menu window is what
// the user minimises.
HWND MainWindowOf(HWND AApplicationWindow) {
    if (IsWindowVisible(AApplicationWindow)) return AApplicationWindow;
    for (const HWND wnd : ThreadWindows(GetWindowThreadProcessId(AApplicationWindow, nullptr))) {
        const auto exStyle = GetWindowLongPtrW(wnd, GWL_EXSTYLE);
        if (wnd == AApplicationWindow || !IsWindowVisible(wnd) || (exStyle & WS_EX_TOOLWINDOW)) continue;
        if ((exStyle & WS_EX_APPWINDOW) || !GetWindow(wnd, GW_OWNER)) return wnd;
    }
    return AApplicationWindow;
}

std::vector<HWND> GuardWindowsOf(const std::vector<std::uint32_t>& AProcessIds) {
    struct Search {
        const std::vector<std::uint32_t>* pids;
        std::vector<HWND> found;
    } search{&AProcessIds, {}};
    EnumWindows(
        [](HWND wnd, LPARAM lp) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(lp);
            wchar_t cls[64];
            if (!GetClassNameW(wnd, cls, 64) || lstrcmpW(cls, kGuardWindowClass) != 0) return TRUE;
            DWORD pid = 0;
            GetWindowThreadProcessId(wnd, &pid);
            for (const auto registered : *s.pids)
                if (registered == pid) s.found.push_back(wnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}
