// A stand-in launcher for the guard's tests: an application window, a guard, and a log of what it
// saw. Settings come from the environment:
//   AUREVIA_PROBE_LOG          file the probe appends its events to, one line each
//   AUREVIA_PROBE_MINIMIZE=1   minimise the application window once running
//   AUREVIA_PROBE_LEAVE=1      leave the registries right after the check, as an ending launcher does
//   AUREVIA_PROBE_INACTIVE=1   switch its guard off, as an answer "inactive" from another guard does
//   AUREVIA_PROBE_BUSY=ms      keep its UI thread busy that long once running, as a hung instance does
// Events: "passed <pid>" after the check let it start, "notice <n> <pid>" for each start or end
// notice reaching its thread, "copy <text>" for a command-line copy (CR and LF written as \r \n).
// It runs until its application window is closed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "launcher/guard/single_instance.h"
#include "base/string_convert.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

void Log(const std::wstring& line) {
    const std::wstring path = Env(L"AUREVIA_PROBE_LOG");
    if (path.empty()) return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string utf8 = WideToUtf8(line) + "\n";
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring Escaped(std::wstring_view text) {
    std::wstring out;
    for (const wchar_t c : text) {
        if (c == L'\r')
            out += L"\\r";
        else if (c == L'\n')
            out += L"\\n";
        else
            out += c;
    }
    return out;
}

LRESULT CALLBACK AppProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(wnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = AppProc;
    cls.hInstance = instance;
    cls.lpszClassName = kApplicationWindowClass;
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    RegisterClassExW(&cls);
    const HWND app = CreateWindowExW(0, kApplicationWindowClass, L"guard probe", WS_OVERLAPPEDWINDOW, 10, 10,
                                     300, 200, nullptr, nullptr, instance, nullptr);
    {
        TSingleInstance guard(instance);
        guard.SetCommandLineHandler([](std::wstring_view text) { Log(L"copy " + Escaped(text)); });
        guard.Check();
        if (Env(L"AUREVIA_PROBE_LEAVE") == L"1") LeaveInstanceRegistries();
        const UINT notice =
            RegisterWindowMessageW(InstanceObjectNames(CurrentInstanceIdentity()).Message.c_str());
        if (Env(L"AUREVIA_PROBE_INACTIVE") == L"1")
            SendMessageW(guard.Handle(), notice, static_cast<WPARAM>(GuardNotice::AnswerActive), 0);
        ShowWindow(app, Env(L"AUREVIA_PROBE_MINIMIZE") == L"1" ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL);
        Log(L"passed " + std::to_wstring(GetCurrentProcessId()));
        if (const std::wstring busy = Env(L"AUREVIA_PROBE_BUSY"); !busy.empty()) Sleep(std::stoul(busy));
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.hwnd == nullptr && msg.message == notice)
                Log(L"notice " + std::to_wstring(msg.wParam) + L" " + std::to_wstring(msg.lParam));
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Log(L"ending");
    }
    return 0;
}
