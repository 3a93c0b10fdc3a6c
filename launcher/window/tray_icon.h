#pragma once
// The menu window's icon in the notification area. Everything here runs on the UI thread.
#include <windows.h>
#include <shellapi.h>

#include <string>

class TTrayIcon {
  public:
    // Adds the icon; its mouse messages come to AOwner as ACallbackMessage. Added tells whether the
    // shell took it.
    void Add(HWND AOwner, UINT ACallbackMessage, HICON AIcon, const std::wstring& ATip);
    // The shell (re)started and announced it with "TaskbarCreated": a restarted shell has forgotten
    // every icon, so add it again; the notice also comes without a restart (a display change), when
    // the icon is still there and is only refreshed.
    void ShellRestarted();
    void Remove();

    // The record handed to the shell and whether it holds the icon, kept under the menu window's
    // names (which forward here).
    NOTIFYICONDATAW Data{};
    bool Added = false;
};
