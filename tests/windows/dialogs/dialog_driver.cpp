#include "dialog_driver.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/handles.h"

namespace {
HWND FindVisibleDialog(DWORD threadId) {
    HWND found = nullptr;
    EnumThreadWindows(
        threadId,
        [](HWND h, LPARAM lp) -> BOOL {
            wchar_t cls[64];
            GetClassNameW(h, cls, 64);
            if (std::wstring(cls) == L"AureviaMessageForm" && IsWindowVisible(h)) {
                *reinterpret_cast<HWND*>(lp) = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}
}  // namespace

int RunDialog(const std::function<int()>& show, const std::function<void(HWND)>& drive) {
    const DWORD uiThread = GetCurrentThreadId();
    std::thread driver([&] {
        HWND dialog = nullptr;
        for (int i = 0; i < 200 && !dialog; ++i) {
            dialog = FindVisibleDialog(uiThread);
            if (!dialog) Sleep(50);
        }
        if (dialog) {
            Settle(dialog);
            drive(dialog);
            if (WaitClosed(dialog, 10000)) return;
        }
        PostThreadMessageW(uiThread, WM_QUIT, 0, 0);
    });
    const int result = show();
    driver.join();
    // A quit posted to end a stuck dialog must not leak into the next test.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    return result;
}

void PressKey(WORD vk, std::initializer_list<WORD> mods) {
    std::vector<INPUT> in;
    auto key = [&](WORD k, bool up) {
        INPUT i{};
        i.type = INPUT_KEYBOARD;
        i.ki.wVk = k;
        i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        in.push_back(i);
    };
    for (WORD m : mods) key(m, false);
    key(vk, false);
    key(vk, true);
    for (auto it = std::rbegin(mods); it != std::rend(mods); ++it) key(*it, true);
    SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

void Settle(HWND dialog) {
    // Sent messages overtake queued input: give the input time to be read first, then make sure the
    // UI thread is back in its loop.
    Sleep(150);
    DWORD_PTR ignored;
    SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &ignored);
}

bool WaitClosed(HWND dialog, DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 25) {
        if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return true;
        Sleep(25);
    }
    return false;
}

RECT RectInParent(HWND child) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::wstring TextOf(HWND hwnd) {
    std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, s.data(), static_cast<int>(s.size()))));
    return s;
}

std::wstring ClipboardText() {
    std::wstring text;
    for (int i = 0; i < 40 && !OpenClipboard(nullptr); ++i) Sleep(25);
    if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
        if (auto* p = static_cast<const wchar_t*>(GlobalLock(h))) {
            text = p;
            GlobalUnlock(h);
        }
    }
    CloseClipboard();
    return text;
}

void SetClipboardText(const std::wstring& text) {
    for (int i = 0; i < 40 && !OpenClipboard(nullptr); ++i) Sleep(25);
    EmptyClipboard();
    HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(GlobalLock(m)));
    GlobalUnlock(m);
    if (!SetClipboardData(CF_UNICODETEXT, m)) GlobalFree(m);
    CloseClipboard();
}

void SaveScreenshot(HWND window, const std::wstring& name) {
    wchar_t dir[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"AUREVIA_ARTIFACTS", dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    // Create the folder and any missing parents.
    std::wstring folder(dir);
    for (std::size_t i = 3; i <= folder.size(); ++i)
        if (i == folder.size() || folder[i] == L'\\') CreateDirectoryW(folder.substr(0, i).c_str(), nullptr);

    // Under Wine neither the screen DC nor PrintWindow sees a layered window with its children, so the
    // picture is taken from the X display the way a person sees it, by ImageMagick's import (Wine runs
    // a Linux program given by its Z: path). The drive letter goes, backslashes become slashes.
    std::wstring unixFolder = folder.substr(2);
    for (wchar_t& c : unixFolder)
        if (c == L'\\') c = L'/';
    RECT r;
    GetWindowRect(window, &r);
    std::wstring command = L"import -window root -crop " + std::to_wstring(r.right - r.left) + L"x" +
                           std::to_wstring(r.bottom - r.top) + L"+" + std::to_wstring(r.left) + L"+" +
                           std::to_wstring(r.top) + L" " + unixFolder + L"/" + name + L".png";
    const std::wstring file = folder + L"\\" + name + L".png";
    DeleteFileW(file.c_str());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(L"Z:\\usr\\bin\\import", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // Wine does not wait for a Linux child through its handle: wait for the file to be complete.
    LONGLONG last = -1;
    for (int i = 0; i < 200; ++i) {
        Sleep(50);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) continue;
        const LONGLONG size = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size > 0 && size == last) break;
        last = size;
    }
}
