#include "tasks/ui_handoff.h"

#include <mutex>

#include "base/error_display.h"
#include "base/handles.h"
#include "base/win32_error.h"

namespace {
constexpr wchar_t kClassName[] = L"AureviaUiHandoff";
constexpr UINT WM_RUN_HANDOFF = WM_APP + 0x3A1;

LRESULT CALLBACK HandoffWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_RUN_HANDOFF) {
        // The sender is blocked in SendMessageW until this returns, so the function it points to is
        // alive for the whole call.
        const auto* call = reinterpret_cast<const std::function<void()>*>(lparam);
        GuardEvent([call] { (*call)(); });
        return 1;
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
}

void RegisterHandoffClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = HandoffWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            ThrowLastError(TErrorCategory::Other);
    });
}

// Owned by its thread: destroyed, on that thread, when the thread ends.
thread_local unique_hwnd tHandoffWindow;
}  // namespace

TUiHandoff TUiHandoff::ForCurrentThread() {
    if (!tHandoffWindow) {
        RegisterHandoffClass();
        HWND hwnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
        if (!hwnd) ThrowLastError(TErrorCategory::Other);
        tHandoffWindow.reset(hwnd);
    }
    return TUiHandoff(tHandoffWindow.get(), GetCurrentThreadId());
}

bool TUiHandoff::Call(const std::function<void()>& ACall) const {
    if (GetCurrentThreadId() == FThreadId) {
        GuardEvent([&ACall] { ACall(); });
        return true;
    }
    // Checked first: SendMessageW to a window whose thread has ended simply fails, but a handle
    // value may be reused by another window; our private message only means something to ours.
    if (GetWindowThreadProcessId(FWindow, nullptr) != FThreadId) return false;
    return SendMessageW(FWindow, WM_RUN_HANDOFF, 0, reinterpret_cast<LPARAM>(&ACall)) != 0;
}
