#pragma once
// Drives a real message dialog from a second thread while the test's thread shows it modally.
#include <windows.h>

#include <functional>
#include <string>

// Runs show() on this (the UI) thread. Once a dialog window of this thread is visible, drive(dialog)
// runs on a helper thread. If the dialog is still open 10 s after drive returns (or never opens), the
// UI thread is told to quit so that show() returns instead of blocking the test.
int RunDialog(const std::function<int()>& show, const std::function<void(HWND dialog)>& drive);

// Keyboard input as a user types it (the dialog is the foreground window). mods: any of VK_CONTROL,
// VK_SHIFT, VK_MENU pressed around the key.
void PressKey(WORD vk, std::initializer_list<WORD> mods = {});
// Waits until the UI thread has handled everything sent so far.
void Settle(HWND dialog);
// Waits until the window is gone or hidden; false after the timeout.
bool WaitClosed(HWND dialog, DWORD timeoutMs = 5000);

// The window's rectangle in its parent's client coordinates.
RECT RectInParent(HWND child);
std::wstring TextOf(HWND hwnd);
std::wstring ClipboardText();
void SetClipboardText(const std::wstring& text);

// Saves the window as it appears on the display as a PNG file under AUREVIA_ARTIFACTS (nothing when
// unset or when the display cannot be read).
void SaveScreenshot(HWND window, const std::wstring& name);
