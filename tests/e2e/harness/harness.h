#pragma once
// End-to-end harness: drives the real Aurevia.EXE under Wine as a user would. A test makes a
// temporary installation, starts the launcher, waits for its window, clicks, reads captions and
// answers dialogs. A failing test leaves a PNG screenshot of the screen in the artifacts folder.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace e2e {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Paths handed over by CMake through the environment (Windows form).
std::wstring BuiltLauncher();             // AUREVIA_E2E_LAUNCHER: the built Aurevia.EXE
std::wstring BuiltDemoModule();           // AUREVIA_E2E_DEMO_MODULE: the built demo-module.exe
std::filesystem::path ArtifactsFolder();  // AUREVIA_ARTIFACTS, else .\artifacts

// The tests' temporary folder, seen as a std::filesystem path (without a trailing separator).
class TempFolder : public test_support::TempFolder {
  public:
    const std::filesystem::path& Path() const { return Dir(); }
    std::filesystem::path operator/(const std::wstring& AName) const { return Dir() / AName; }
};

void WriteTextFile(const std::filesystem::path& APath, const std::string& AText);
std::string ReadTextFile(const std::filesystem::path& APath);
// Sets a file's last-write time (UTC FILETIME ticks).
void SetLastWriteTime(const std::filesystem::path& APath, FILETIME ATime);
FILETIME LastWriteTime(const std::filesystem::path& APath);

// A launcher folder holding a copy of the built Aurevia.EXE (and, optionally, Aurevia.ini).
class Installation : public TempFolder {
  public:
    Installation();
    std::filesystem::path Exe() const { return Path() / L"Aurevia.EXE"; }
    // Writes Aurevia.ini with section "Servidor"; an empty value leaves the key out.
    void WriteIni(const std::wstring& ALocalExe, const std::wstring& AUrl = L"");
};

// A started program; ended (TerminateProcess) if it still runs when the owner goes.
class Process {
  public:
    // Starts AExe with the command line "AExe" AArguments in ACurrentDirectory (empty: inherit).
    Process(const std::wstring& AExe, const std::wstring& AArguments = L"",
            const std::wstring& ACurrentDirectory = L"");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    DWORD Id() const { return FInfo.dwProcessId; }
    bool Running() const;
    // The exit code, or nothing when the process still runs after ATimeout.
    std::optional<DWORD> WaitForExit(Millis ATimeout);
    void Kill();

  private:
    PROCESS_INFORMATION FInfo{};
};

// Polls ACondition every 25 ms until it holds or ATimeout passes.
bool WaitUntil(const std::function<bool()>& ACondition, Millis ATimeout);

// Top-level windows of a process (0: of any process) whose class is AClass (empty: any).
std::vector<HWND> TopLevelWindows(DWORD AProcessId, const std::wstring& AClass = L"");
std::wstring CaptionOf(HWND AWindow);
std::wstring ClassOf(HWND AWindow);
// The first visible top-level window of the process with exactly this caption.
HWND WaitForWindow(DWORD AProcessId, const std::wstring& ACaption, Millis ATimeout = 15s);
// The launcher's menu window (class "AureviaMenu"), visible or not.
HWND WaitForMenuWindow(DWORD AProcessId, Millis ATimeout = 15s);
// Waits until the caption of AWindow satisfies APredicate; returns the last caption seen.
std::wstring WaitForCaption(HWND AWindow, const std::function<bool(const std::wstring&)>& APredicate,
                            Millis ATimeout = 15s);
// A visible dialog window (class "#32770") with exactly this caption, of any process.
HWND WaitForDialog(const std::wstring& ACaption, Millis ATimeout = 15s);
// The text of a dialog's static controls, joined by "\n".
std::wstring DialogText(HWND ADialog);

// Mouse and keyboard through SendInput, as a user's hand would.
void ClickAt(HWND AWindow, POINT AClientPoint, bool ARightButton = false);
void PressKey(WORD AVirtualKey);
// Clicks the window's caption close button, found by asking the window where it is (WM_NCHITTEST).
bool ClickCloseButton(HWND AWindow);
// Brings the dialog forward and presses Enter.
void AnswerWithEnter(HWND ADialog);
// The launcher's tray-icon callback, posted as the shell posts it.
void SendTrayMessage(HWND AMenuWindow, UINT AMouseMessage);
// The open popup menu (class "#32768") and a click on its first or last item.
HWND WaitForPopupMenu(Millis ATimeout = 10s);
void ClickPopupMenuItem(HWND AMenu, bool ALastItem);
// Opens the tray menu and chooses its quit item, as a user would.
void QuitThroughTrayMenu(HWND AMenuWindow);

// Whether the launcher's busy panel (a child of class "AureviaBusyPanel") is visible.
bool BusyPanelVisible(HWND AMenuWindow);
// Asks every visible top-level window with exactly this caption to close; returns how many.
int CloseWindowsTitled(const std::wstring& ACaption);
// Closes the program whose window has exactly this caption once that window is shown, asking again
// until its process ends (a window closed as it first shows may miss the request); a process still
// running after ATimeout is ended. False when no such window came or it had to be ended.
bool CloseProgramTitled(const std::wstring& ACaption, Millis ATimeout = 15s);

// Saves the whole screen as a PNG (WIC). False when it could not.
bool SaveScreenshot(const std::filesystem::path& APngFile);

}  // namespace e2e
