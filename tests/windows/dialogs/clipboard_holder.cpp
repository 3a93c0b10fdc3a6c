// Holds the clipboard open from another process until told to let go, so that a test can see what a
// program does when the clipboard is taken. Usage: clipboard_holder HELD_EVENT RELEASE_EVENT
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
    if (!held || !release) return 3;
    // Opened for a window: Wine lets two openers without a window share the clipboard.
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!window || !OpenClipboard(window)) return 4;
    SetEvent(held);
    WaitForSingleObject(release, 30000);
    CloseClipboard();
    DestroyWindow(window);
    return 0;
}
