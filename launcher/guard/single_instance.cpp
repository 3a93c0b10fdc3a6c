#include "launcher/guard/single_instance.h"

#include <shellapi.h>

#include <algorithm>

namespace {

// How long the guard waits for another instance's UI thread to handle a query, an answer, the
// request to come forward or the command-line copy. An instance that hangs must not also hang every
// later start.
constexpr UINT kSendTimeoutMs = 5000;

// Sends and waits for the receiving thread to handle it; false when it did not within the timeout
// (a busy or hung instance) or the window is gone.
bool SendAndWait(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(wnd, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, kSendTimeoutMs,
                               &ignored) != 0;
}

void RegisterGuardClass(HINSTANCE instance, WNDPROC proc) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = proc;
    cls.hInstance = instance;
    cls.lpszClassName = kGuardWindowClass;
    // Fails harmlessly with ERROR_CLASS_ALREADY_EXISTS for every guard after the first.
    RegisterClassExW(&cls);
}

}  // namespace

TSingleInstance::TSingleInstance(HINSTANCE AInstance) {
    RegisterGuardClass(AInstance, &TSingleInstance::WindowProc);
    FHandle = CreateWindowExW(WS_EX_TOOLWINDOW, kGuardWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, AInstance, this);
    if (const UINT message = OpenInstanceRegistries()) {
        // Instances running with other rights must still reach this window.
        ChangeWindowMessageFilterEx(FHandle, message, MSGFLT_ALLOW, nullptr);
        ChangeWindowMessageFilterEx(FHandle, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
        RegisterInstance();
    }
}

TSingleInstance::~TSingleInstance() {
    if (FHandle) {
        SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        DestroyWindow(FHandle);
    }
    DropInstanceGuard();
}

LRESULT CALLBACK TSingleInstance::WindowProc(HWND AWnd, UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
    if (AMsg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
        SetWindowLongPtrW(AWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TSingleInstance*>(GetWindowLongPtrW(AWnd, GWLP_USERDATA));
    if (self && self->FHandle == AWnd) return self->HandleMessage(AMsg, AWParam, ALParam);
    return DefWindowProcW(AWnd, AMsg, AWParam, ALParam);
}

LRESULT TSingleInstance::HandleMessage(UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
    const UINT message = InstanceMessage();
    if (message != 0 && AMsg == message) {
        switch (static_cast<GuardNotice>(AWParam)) {
            case GuardNotice::QueryActive: {
                const auto asker = reinterpret_cast<HWND>(ALParam);
                if (IsWindow(asker))
                    SendAndWait(asker, message, static_cast<WPARAM>(GuardNotice::AnswerActive),
                                FActive ? 1 : 0);
                break;
            }
            case GuardNotice::AnswerActive:
                FActive = ALParam != 0;
                break;
            case GuardNotice::ComeForward:
                ComeForward();
                break;
            default:  // started, ended and user notices need nothing here
                break;
        }
        return 0;
    }
    if (AMsg == WM_COPYDATA) {
        if (reinterpret_cast<HWND>(AWParam) == FHandle) return 0;
        const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(ALParam);
        if (copy && copy->dwData == kCopyDataCommandLine && FOnCommandLine) {
            const auto* text = static_cast<const wchar_t*>(copy->lpData);
            FOnCommandLine(text ? std::wstring_view(text, copy->cbData / sizeof(wchar_t))
                                : std::wstring_view());
        }
        return 1;
    }
    return DefWindowProcW(FHandle, AMsg, AWParam, ALParam);
}

void TSingleInstance::Check() {
    if (!InstanceMessage()) return;
    const auto all = LiveInstances();
    const DWORD self = GetCurrentProcessId();
    if (all.empty() || all.front() == self) return;
    if (!AskOthersWhetherActive()) return;
    ActivateFirstInstance();
    SendCommandLine();
    LeaveInstanceRegistries();
    ExitProcess(0);
}

bool TSingleInstance::AskOthersWhetherActive() {
    const UINT message = InstanceMessage();
    const DWORD self = GetCurrentProcessId();
    for (const auto pid : LiveInstances()) {
        if (pid == self) continue;
        const HWND app = FindApplicationWindow(pid);
        if (!app) continue;  // cannot be asked
        const DWORD thread = GetWindowThreadProcessId(app, nullptr);
        for (const HWND wnd : ThreadWindows(thread)) {
            if (!SendAndWait(wnd, message, static_cast<WPARAM>(GuardNotice::QueryActive),
                             reinterpret_cast<LPARAM>(FHandle))) {
                // It does not answer; its other windows would not either. Its silence leaves the
                // flag as it is, so a hung instance still counts as running.
                FUnresponsive.push_back(thread);
                break;
            }
            if (!FActive) return false;
        }
    }
    return FActive;
}

// Windows lets only the process the user is working with, this fresh start, take the foreground.
// It passes that right on to the first instance and asks it to come forward itself, so no thread
// input is attached to a window that might hang.
void TSingleInstance::ActivateFirstInstance() {
    const auto all = LiveInstances();
    const DWORD self = GetCurrentProcessId();
    if (all.empty() || all.front() == self) return;
    const HWND app = FindApplicationWindow(all.front());
    if (!app || Unresponsive(app)) return;
    const DWORD appThread = GetWindowThreadProcessId(app, nullptr);
    AllowSetForegroundWindow(all.front());
    for (const HWND guard : GuardWindowsOf({all.front()})) {
        if (GetWindowThreadProcessId(guard, nullptr) != appThread) continue;
        SendAndWait(guard, InstanceMessage(), static_cast<WPARAM>(GuardNotice::ComeForward),
                    reinterpret_cast<LPARAM>(FHandle));
        return;
    }
}

void TSingleInstance::ComeForward() {
    const HWND app = FindApplicationWindow(GetCurrentProcessId());
    if (!app) return;
    if (IsIconic(app)) SendMessageW(app, WM_SYSCOMMAND, SC_RESTORE, 0);
    const HWND main = MainWindowOf(app);
    if (main != app && IsIconic(main)) SendMessageW(main, WM_SYSCOMMAND, SC_RESTORE, 0);
    // A modal dialog of the instance, if one is open, is what the user must see.
    HWND target = GetLastActivePopup(main);
    if (!target || !IsWindowVisible(target) || !IsWindowEnabled(target)) target = main;
    SetForegroundWindow(target);
}

bool TSingleInstance::Unresponsive(HWND AWnd) const {
    const DWORD thread = GetWindowThreadProcessId(AWnd, nullptr);
    return std::find(FUnresponsive.begin(), FUnresponsive.end(), thread) != FUnresponsive.end();
}

void TSingleInstance::SendCommandLine() {
    std::wstring text;
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i) text.append(argv[i]).append(L"\r\n");
        LocalFree(argv);
    }
    COPYDATASTRUCT copy{};
    copy.dwData = kCopyDataCommandLine;
    copy.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    copy.lpData = text.empty() ? nullptr : text.data();
    for (const HWND wnd : GuardWindowsOf(LiveInstances()))
        if (!Unresponsive(wnd))
            SendAndWait(wnd, WM_COPYDATA, reinterpret_cast<WPARAM>(FHandle), reinterpret_cast<LPARAM>(&copy));
}
