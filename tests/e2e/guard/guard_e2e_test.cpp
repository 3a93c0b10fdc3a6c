// One launcher per executable path, with the real Aurevia.EXE under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_registry.h"
#include "app/single_instance.h"
#include "base/handles.h"

namespace {

using namespace std::chrono_literals;
using Pids = std::vector<std::uint32_t>;
constexpr wchar_t kCaption[] = L"Aurevia Solenne [2022.01.00]";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

template <typename F>
bool WaitUntil(F condition, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A launcher installation of its own: a copy of the built exe in a folder that deletes itself.
class Installation {
  public:
    Installation() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        static int counter = 0;
        FFolder = std::wstring(temp) + L"guard-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(FFolder.c_str(), nullptr);
        EXPECT_TRUE(CopyFileW(AUREVIA_BUILT_EXE, Exe().c_str(), FALSE)) << GetLastError();
    }
    ~Installation() {
        RemoveDirectoryW((FFolder + L"Relatorio").c_str());
        DeleteFileW(Exe().c_str());
        RemoveDirectoryW(FFolder.c_str());
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    const std::wstring& Folder() const { return FFolder; }
    std::wstring Exe() const { return FFolder + L"Aurevia.EXE"; }

  private:
    std::wstring FFolder;
};

// One started launcher; killed at the end of the test if it still runs.
class Launcher {
  public:
    explicit Launcher(const std::wstring& exe, const std::wstring& args = L"") {
        std::wstring commandLine = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        EXPECT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &FInfo))
            << GetLastError();
        CloseHandle(FInfo.hThread);
    }
    ~Launcher() {
        if (!FInfo.hProcess) return;
        if (WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(FInfo.hProcess, 1);
            WaitForSingleObject(FInfo.hProcess, 5000);
        }
        CloseHandle(FInfo.hProcess);
    }
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    DWORD Pid() const { return FInfo.dwProcessId; }
    void Kill() {
        TerminateProcess(FInfo.hProcess, 9);
        WaitForSingleObject(FInfo.hProcess, 5000);
    }
    DWORD WaitForExit(std::chrono::milliseconds timeout = 20s) const {
        WaitForSingleObject(FInfo.hProcess, static_cast<DWORD>(timeout.count()));
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(FInfo.hProcess, &code);
        return code;
    }
    // The process's top-level window with the given caption, or null.
    HWND WindowWithCaption(const wchar_t* caption) const {
        struct Search {
            DWORD pid;
            const wchar_t* caption;
            HWND found;
        } search{Pid(), caption, nullptr};
        EnumWindows(
            [](HWND wnd, LPARAM lp) -> BOOL {
                auto& s = *reinterpret_cast<Search*>(lp);
                DWORD pid = 0;
                GetWindowThreadProcessId(wnd, &pid);
                wchar_t text[256];
                if (pid == s.pid && GetWindowTextW(wnd, text, 256) && lstrcmpW(text, s.caption) == 0) {
                    s.found = wnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    // Waits until the menu window is shown and returns it.
    HWND WaitForMenu() const {
        HWND menu = nullptr;
        WaitUntil([&] {
            menu = WindowWithCaption(kCaption);
            return menu && IsWindowVisible(menu);
        });
        return menu;
    }

  private:
    PROCESS_INFORMATION FInfo{};
};

Pids AllInstances(const std::wstring& exe) {
    unique_handle mapping(
        OpenFileMappingW(FILE_MAP_READ, FALSE, InstanceObjectNames(InstanceIdentity(exe)).All.c_str()));
    if (!mapping) return {};
    unique_view view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, kInstanceRegistrySize));
    std::array<std::byte, kInstanceRegistrySize> copy{};
    std::memcpy(copy.data(), view.get(), copy.size());
    return InstanceRegistry(copy).ProcessIds();
}

TEST(LauncherSecondStart, EndsWithZeroTouchesNothingAndBringsTheMinimisedFirstForward) {
    Installation install;
    Launcher first(install.Exe());
    const HWND menu = first.WaitForMenu();
    ASSERT_TRUE(menu);
    // The close button only minimises the launcher.
    PostMessageW(menu, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return IsIconic(menu) != FALSE; }));
    // The first start made the report folder; a second start must not make it again.
    ASSERT_TRUE(RemoveDirectoryW((install.Folder() + L"Relatorio").c_str()));

    Launcher second(install.Exe(), L"/param");
    EXPECT_EQ(second.WaitForExit(), 0u);
    EXPECT_FALSE(Exists(install.Folder() + L"Relatorio"));
    EXPECT_TRUE(WaitUntil([&] { return !IsIconic(menu); }));
    EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == menu; }));
    EXPECT_EQ(AllInstances(install.Exe()), Pids{first.Pid()});
}

TEST(LauncherSecondStart, ThroughThePathInOtherLetterCaseIsStillASecondStart) {
    Installation install;
    Launcher first(install.Exe());
    ASSERT_TRUE(first.WaitForMenu());
    std::wstring otherCase = install.Exe();
    CharUpperBuffW(otherCase.data(), static_cast<DWORD>(otherCase.size()));
    ASSERT_NE(otherCase, install.Exe());

    Launcher second(otherCase);
    EXPECT_EQ(second.WaitForExit(), 0u);
}

TEST(LauncherSecondStart, ACopyInAnotherFolderRunsBesideTheFirst) {
    Installation one, two;
    Launcher first(one.Exe());
    ASSERT_TRUE(first.WaitForMenu());
    Launcher beside(two.Exe());
    EXPECT_TRUE(beside.WaitForMenu());
    EXPECT_EQ(beside.WaitForExit(0ms), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(AllInstances(two.Exe()), Pids{beside.Pid()});
}

TEST(LauncherSecondStart, AKilledFirstInstanceDoesNotBlockTheNextStart) {
    Installation install;
    Launcher first(install.Exe());
    ASSERT_TRUE(first.WaitForMenu());
    // Holding the registry open keeps it alive past the crash, dead entry and all.
    unique_handle keepAlive(OpenFileMappingW(
        FILE_MAP_READ, FALSE, InstanceObjectNames(InstanceIdentity(install.Exe())).All.c_str()));
    ASSERT_TRUE(keepAlive);
    first.Kill();
    ASSERT_EQ(AllInstances(install.Exe()), Pids{first.Pid()});

    Launcher next(install.Exe());
    EXPECT_TRUE(next.WaitForMenu());
    EXPECT_EQ(AllInstances(install.Exe()), Pids{next.Pid()});
}

}  // namespace
