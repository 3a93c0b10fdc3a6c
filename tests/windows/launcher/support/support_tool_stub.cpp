// Stands in for a remote-support tool: leaves "<its own path>.started" holding the command line it
// was given, so that a test can see that, and how, it was started.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    lstrcatW(self, L".started");
    HANDLE file = CreateFileW(self, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    const wchar_t* commandLine = GetCommandLineW();
    DWORD written = 0;
    WriteFile(file, commandLine, lstrlenW(commandLine) * sizeof(wchar_t), &written, nullptr);
    CloseHandle(file);
    return 0;
}
