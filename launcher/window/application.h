#pragma once
// The application object: the title, the main icon and the hidden top-level window of class
// "AureviaApplication" that other instances look for. One per process, UI thread only.
#include <windows.h>

#include <functional>
#include <string>

#include "base/handles.h"

class TApplication {
  public:
    static constexpr const wchar_t* kWindowClass = L"AureviaApplication";

    // Registers the class and creates the hidden application window.
    void Initialize(HINSTANCE AInstance);
    HINSTANCE Instance() const { return FInstance; }
    HWND Handle() const { return FHandle.get(); }

    const std::wstring& Title() const { return FTitle; }
    void SetTitle(const std::wstring& ATitle);
    // The executable's main icon (MAINICON); shared, never destroyed.
    HICON Icon() const { return FIcon; }

    HWND MainForm() const { return FMainForm; }
    void SetMainForm(HWND AMainForm) { FMainForm = AMainForm; }

    // Minimises the main window (its taskbar button stays) and then runs the minimise event.
    void Minimize();
    // Restores a minimised main window and brings it, or its last active popup, to the front.
    void Restore();
    void BringToFront();
    // Posts the quit message: the message loop ends when it reaches it.
    void Terminate();
    // The message loop; returns the exit code carried by the quit message.
    int Run();

    // The minimise event; set by the menu window.
    std::function<void()> OnMinimize;

  private:
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);

    HINSTANCE FInstance = nullptr;
    unique_hwnd FHandle;
    std::wstring FTitle;
    HICON FIcon = nullptr;
    HWND FMainForm = nullptr;
};

extern TApplication Application;
