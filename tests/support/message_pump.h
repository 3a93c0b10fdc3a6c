#pragma once
// The test's own thread serves as the UI thread: it pumps its messages (sent ones included, through
// which the task list hands its completions over) while it waits.
#include <windows.h>

#include <algorithm>
#include <functional>

// Retrieves and dispatches messages until ADone holds or ATimeoutMs pass; false on the timeout.
inline bool PumpUntil(const std::function<bool()>& ADone, DWORD ATimeoutMs = 10000) {
    const ULONGLONG deadline = GetTickCount64() + ATimeoutMs;
    while (!ADone()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<ULONGLONG>(20, deadline - now)),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

// Keeps the UI thread responsive for a while, for checks that something does *not* happen.
inline void PumpFor(DWORD AMs) {
    PumpUntil([] { return false; }, AMs);
}
