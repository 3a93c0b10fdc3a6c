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
    CreateDirectoryW(dir, nullptr);
    RECT r;
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    unique_hdc mem(CreateCompatibleDC(screen));
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    unique_gdi dib(CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    HGDIOBJ old = SelectObject(mem.get(), dib.get());
    BitBlt(mem.get(), 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
    SelectObject(mem.get(), old);
    ReleaseDC(nullptr, screen);

    const DWORD imageBytes = static_cast<DWORD>(w * h * 4);
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    fh.bfSize = fh.bfOffBits + imageBytes;
    const std::wstring path = std::wstring(dir) + L"\\" + name + L".bmp";
    unique_file file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return;
    DWORD written;
    WriteFile(file.get(), &fh, sizeof fh, &written, nullptr);
    WriteFile(file.get(), &bi.bmiHeader, sizeof bi.bmiHeader, &written, nullptr);
    WriteFile(file.get(), bits, imageBytes, &written, nullptr);
}
