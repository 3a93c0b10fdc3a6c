#include "launcher/window/tray_icon.h"

#include <cwchar>

void TTrayIcon::Add(HWND AOwner, UINT ACallbackMessage, HICON AIcon, const std::wstring& ATip) {
    Data = NOTIFYICONDATAW{};
    Data.cbSize = sizeof(Data);
    Data.hWnd = AOwner;
    Data.uID = 0;
    Data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    Data.uCallbackMessage = ACallbackMessage;
    Data.hIcon = AIcon;
    wcsncpy_s(Data.szTip, ATip.c_str(), _TRUNCATE);
    Added = Shell_NotifyIconW(NIM_ADD, &Data) != FALSE;
}

void TTrayIcon::ShellRestarted() {
    if (!Data.hWnd) return;  // never added: the first show adds it
    Added = Shell_NotifyIconW(NIM_ADD, &Data) != FALSE;
    if (!Added) Added = Shell_NotifyIconW(NIM_MODIFY, &Data) != FALSE;
}

void TTrayIcon::Remove() { Shell_NotifyIconW(NIM_DELETE, &Data); }
