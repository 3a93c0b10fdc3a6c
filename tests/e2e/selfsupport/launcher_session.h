#pragma once
// A launcher installation with a server folder beside it, and the running launchers it produced.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace selfsupport_e2e {

using namespace e2e;

// Ends, at the end of a test, a process the test did not start itself (the restarted launcher).
class ProcessById {
  public:
    explicit ProcessById(DWORD AId) : FHandle(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, AId)) {}
    ~ProcessById() {
        if (!FHandle) return;
        if (WaitForSingleObject(FHandle, 0) == WAIT_TIMEOUT) TerminateProcess(FHandle, 1);
        CloseHandle(FHandle);
    }
    ProcessById(const ProcessById&) = delete;
    ProcessById& operator=(const ProcessById&) = delete;
    bool Running() const { return FHandle && WaitForSingleObject(FHandle, 0) == WAIT_TIMEOUT; }

  private:
    HANDLE FHandle;
};

struct LauncherSession {
    Installation installation;
    TempFolder serverFolder;
    std::unique_ptr<Process> process;
    HWND window = nullptr;

    LauncherSession() { installation.WriteIni(serverFolder.Path().wstring()); }

    std::filesystem::path Server(const std::wstring& AName) const { return serverFolder / AName; }
    std::filesystem::path Local(const std::wstring& AName) const { return installation / AName; }

    // Starts the installed launcher in ACurrentDirectory (default: its own folder).
    void Start(const std::wstring& ACurrentDirectory = L"") {
        process = std::make_unique<Process>(
            installation.Exe().wstring(), L"",
            ACurrentDirectory.empty() ? installation.Path().wstring() : ACurrentDirectory);
        window = WaitForMenuWindow(process->Id());
        ASSERT_NE(window, nullptr) << "the menu window did not appear";
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 15s));
    }

    // Quits as a user does, through the tray menu; a second try when the first menu went unanswered
    // (a menu that opens while the window is not in front may miss the click under Wine).
    void Quit() {
        if (!process || !process->Running()) return;
        for (int attempt = 0; attempt < 2 && process->Running(); ++attempt) {
            QuitThroughTrayMenu(window);
            process->WaitForExit(5s);
        }
        EXPECT_EQ(process->WaitForExit(5s), std::optional<DWORD>(0));
    }
};

// A click that the window cannot take for the second half of a double click.
inline void SingleClickAt(HWND AWindow, POINT AClientPoint) {
    Sleep(GetDoubleClickTime() + 100);
    ClickAt(AWindow, AClientPoint);
}

// The text of one of the suite's message dialogs (its read-only edit control).
inline std::wstring MessageText(HWND ADialog) {
    HWND memo = GetDlgItem(ADialog, 102);
    if (!memo) return DialogText(ADialog);
    wchar_t text[2048] = {};
    SendMessageTimeoutW(memo, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        nullptr);
    return text;
}

// Enter on a dialog, and the wait until it has gone, so that the next step meets no modal loop. Wine
// can report a dialog shown over the menu window as in front before the keyboard's focus is there,
// and the key is then lost: like a user, the test presses again while the dialog stays.
inline void AnswerAndWaitClosed(HWND ADialog) {
    bool closed = false;
    for (int attempt = 0; attempt < 3 && !closed; ++attempt) {
        AnswerWithEnter(ADialog);
        closed = WaitUntil([&] { return !IsWindow(ADialog) || !IsWindowVisible(ADialog); }, 3s);
    }
    EXPECT_TRUE(closed);
}

// Whether a visible window with this caption belongs to the process.
inline bool ProcessShows(DWORD AProcessId, const std::wstring& ACaption) {
    for (HWND w : TopLevelWindows(AProcessId))
        if (IsWindowVisible(w) && CaptionOf(w) == ACaption) return true;
    return false;
}

}  // namespace selfsupport_e2e
