#pragma once
// How instances of one executable reach each other's windows: the class names they look for, the
// meanings of the registered message, and the searches over another process's windows.
#include <windows.h>

#include <cstdint>
#include <vector>

// Class of the hidden tool window each guard creates.
inline constexpr wchar_t kGuardWindowClass[] = L"AureviaInstances_WindowClass";
// Class of the hidden top-level application window that the guard looks for in every instance: the
// start and end notifications go to its thread, and a rejected start restores and activates it.
inline constexpr wchar_t kApplicationWindowClass[] = L"AureviaApplication";

// Meanings of the registered message, carried in wParam.
enum class GuardNotice : WPARAM {
    InstanceStarted = 1,  // lParam: process identifier
    InstanceEnded = 2,    // lParam: process identifier
    UserNotice = 3,
    QueryActive = 4,   // lParam: the asking guard window
    AnswerActive = 5,  // lParam: 1 active, 0 inactive
    // lParam: the asking guard window. The receiving instance restores its main window and makes
    // it (or its open modal dialog) the foreground window; the asker has already allowed it to.
    ComeForward = 6,
};
// WM_COPYDATA dwData of a command-line copy.
inline constexpr ULONG_PTR kCopyDataCommandLine = 1;

// The top-level window of class kApplicationWindowClass that belongs to the process, or null.
HWND FindApplicationWindow(DWORD AProcessId);
// The top-level windows of the thread.
std::vector<HWND> ThreadWindows(DWORD AThreadId);
// The instance's main window: the application window itself when it is shown, otherwise the shown
// window of its thread that stands on the taskbar.
HWND MainWindowOf(HWND AApplicationWindow);
// The guard windows of the listed processes, in window order.
std::vector<HWND> GuardWindowsOf(const std::vector<std::uint32_t>& AProcessIds);
