#pragma once
// Test helpers: the test's own thread serves as the UI thread and pumps its messages while waiting.
#include <windows.h>

#include <algorithm>
#include <functional>

#include "base/handles.h"

// Retrieves and dispatches messages (sent ones included) until ADone holds or ATimeoutMs pass.
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

// A manual-reset event that tasks block on until the test opens it.
class TGate {
  public:
    TGate() : FEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Open() const { SetEvent(FEvent.get()); }
    // Bounded so that a broken test fails instead of leaving a worker blocked for good.
    bool Wait(DWORD ATimeoutMs = 20000) const {
        return WaitForSingleObject(FEvent.get(), ATimeoutMs) == WAIT_OBJECT_0;
    }

  private:
    unique_handle FEvent;
};
