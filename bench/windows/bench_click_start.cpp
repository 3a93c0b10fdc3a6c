// Click-to-start under Wine: a fresh installation whose server folder holds the module, the start-up
// refresh let finish, then a click on the module's tile timed from the button's release to the
// module's first visible window (the update fetches the module, then starts it). The peer, in the
// same run: the same module started directly, from CreateProcessW to its window. Prints one line per
// run, for bench/windows/click_start.sh:  click=<ms> module=<ms>
//   bench_click_start.exe RUNS     (AUREVIA_E2E_LAUNCHER and AUREVIA_E2E_DEMO_MODULE name the programs)
#include <windows.h>

#include <cstdio>
#include <regex>

#include "harness.h"

using namespace e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel

double Millis(LARGE_INTEGER AFrom, LARGE_INTEGER ATo) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ATo.QuadPart - AFrom.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// Polls every millisecond for a visible window with this caption; false after 30 s.
bool WaitForCaptionedWindow(const std::wstring& ACaption) {
    for (int i = 0; i < 30000; ++i) {
        for (HWND w : TopLevelWindows(0, L"AureviaDemoModule"))
            if (IsWindowVisible(w) && CaptionOf(w) == ACaption) return true;
        Sleep(1);
    }
    return false;
}

INPUT Mouse(DWORD AFlags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = AFlags;
    return input;
}

// One click on the tile; returns the milliseconds from the release to the module's window, or -1.
double TimeClick() {
    Installation install;
    TempFolder server;
    if (!CopyFileW(BuiltDemoModule().c_str(), (server / L"Admission.exe").c_str(), FALSE)) return -1;
    install.WriteIni(server.Path().wstring());
    Process launcher(install.Exe().wstring(), L"", install.Path().wstring());
    const HWND window = WaitForMenuWindow(launcher.Id());
    if (!window || !WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 15s)) return -1;
    const std::wregex elapsed(L"^Aurevia Tempo do update : .*");
    if (!std::regex_match(
            WaitForCaption(
                window, [&](const std::wstring& c) { return std::regex_match(c, elapsed); }, 30s),
            elapsed))
        return -1;
    POINT screen = kAdmission;
    ClientToScreen(window, &screen);
    SetCursorPos(screen.x, screen.y);
    Sleep(30);
    INPUT down = Mouse(MOUSEEVENTF_LEFTDOWN), up = Mouse(MOUSEEVENTF_LEFTUP);
    SendInput(1, &down, sizeof(INPUT));
    Sleep(30);
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    SendInput(1, &up, sizeof(INPUT));
    const bool started = WaitForCaptionedWindow(L"Admission.exe");
    QueryPerformanceCounter(&end);
    CloseWindowsTitled(L"Admission.exe");
    // The module's file is in the installation, which goes next.
    WaitUntil([] { return TopLevelWindows(0, L"AureviaDemoModule").empty(); }, 5s);
    launcher.Kill();
    launcher.WaitForExit(5s);
    return started ? Millis(start, end) : -1;
}

// The module started directly, from CreateProcessW to its window.
double TimeModule() {
    TempFolder folder;
    const std::wstring program = (folder / L"Direct.exe").wstring();
    if (!CopyFileW(BuiltDemoModule().c_str(), program.c_str(), FALSE)) return -1;
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    Process module(program, L"", folder.Path().wstring());
    const bool shown = WaitForCaptionedWindow(L"Direct.exe");
    QueryPerformanceCounter(&end);
    module.Kill();
    module.WaitForExit(5s);
    return shown ? Millis(start, end) : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? _wtoi(argv[1]) : 5;
    for (int run = 0; run < runs; ++run) {
        const double click = TimeClick();
        const double module = TimeModule();
        std::printf("click=%.0f module=%.0f\n", click, module);
        std::fflush(stdout);
    }
    return 0;
}
