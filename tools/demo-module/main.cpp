// A stand-in for a module of the suite: a window titled with its own file name. When the
// environment variable AUREVIA_MODULE_LOG names a file, it first appends one line to it:
//   <own file name> TAB <command line> TAB <current directory> CR LF   (UTF-8)
// so that tests can see which module started, how, and where.
#include <windows.h>

#include <string>

#include "base/string_convert.h"

namespace {

std::wstring OwnFileName() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring CurrentDirectory() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    return folder;
}

void AppendLogLine(const std::wstring& AName) {
    wchar_t log[32768];
    if (!GetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", log, static_cast<DWORD>(std::size(log)))) return;
    const std::string line =
        WideToUtf8(AName + L"\t" + GetCommandLineW() + L"\t" + CurrentDirectory() + L"\r\n");
    // Several modules may start at once: retry while another one holds the file.
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(10);
    }
}

LRESULT CALLBACK WindowProc(HWND AWnd, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    if (AMessage == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(AWnd, &ps);
        RECT client;
        GetClientRect(AWnd, &client);
        wchar_t title[512];
        GetWindowTextW(AWnd, title, 512);
        SetBkMode(dc, TRANSPARENT);
        DrawTextW(dc, title, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(AWnd, &ps);
        return 0;
    }
    if (AMessage == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(AWnd, AMessage, AWParam, ALParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE AInstance, HINSTANCE, PWSTR, int AShow) {
    const std::wstring name = OwnFileName();
    AppendLogLine(name);

    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = AInstance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"AureviaDemoModule";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, name.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 420, 200, nullptr, nullptr, AInstance, nullptr);
    if (!window) return 1;
    ShowWindow(window, AShow);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
