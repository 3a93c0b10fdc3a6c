#include "launcher/window/application.h"

#include "base/win32_error.h"

TApplication Application;

LRESULT CALLBACK TApplication::WindowProc(HWND AWnd, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    return DefWindowProcW(AWnd, AMessage, AWParam, ALParam);
}

void TApplication::Initialize(HINSTANCE AInstance) {
    FInstance = AInstance;
    FIcon = LoadIconW(AInstance, L"MAINICON");
    if (!FIcon) FIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &TApplication::WindowProc;
    wc.hInstance = AInstance;
    wc.hIcon = FIcon;
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        ThrowLastError(TErrorCategory::Other);
    // Hidden for its whole life: the menu window owns the taskbar button.
    FHandle.reset(CreateWindowExW(0, kWindowClass, FTitle.c_str(),
                                  WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 0, 0, nullptr,
                                  nullptr, AInstance, nullptr));
    if (!FHandle) ThrowLastError(TErrorCategory::Other);
}

void TApplication::SetTitle(const std::wstring& ATitle) {
    FTitle = ATitle;
    if (FHandle) SetWindowTextW(FHandle.get(), FTitle.c_str());
}

void TApplication::Minimize() {
    if (FMainForm) ShowWindow(FMainForm, SW_MINIMIZE);
    if (OnMinimize) OnMinimize();
}

void TApplication::Restore() {
    if (FMainForm && IsIconic(FMainForm)) ShowWindow(FMainForm, SW_RESTORE);
}

void TApplication::BringToFront() {
    if (!FMainForm) return;
    HWND target = GetLastActivePopup(FMainForm);
    if (!target) target = FMainForm;
    if (IsWindowVisible(target) && IsWindowEnabled(target)) SetForegroundWindow(target);
}

void TApplication::Terminate() { PostQuitMessage(0); }

int TApplication::Run() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
