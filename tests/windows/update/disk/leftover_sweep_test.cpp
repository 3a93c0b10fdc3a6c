// The start-up sweep of temporary files: a crashed launcher's goes, a running writer's stays.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/handles.h"
#include "tests/support/test_files.h"
#include "update/disk/leftover_sweep.h"

namespace {

// A process of the test: started suspended, so that it does nothing while it lives.
struct ChildProcess {
    PROCESS_INFORMATION info{};
    ChildProcess() {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        wchar_t command[] = L"cmd.exe /c exit 0";
        EXPECT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE,
                                   CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
    }
    ~ChildProcess() {
        End();
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    void End() {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, 10000);
    }
    std::wstring Temporary(const TempFolder& AFolder, int ACounter) const {
        return AFolder /
               (L"~aur" + std::to_wstring(info.dwProcessId) + L"-" + std::to_wstring(ACounter) + L".tmp");
    }
};

}  // namespace

TEST(LeftoverSweep, RemovesAnEndedProcesssFilesAndKeepsARunningOnesAndAnyHeldFile) {
    TempFolder folder;
    ChildProcess crashed, running, heldOwner;
    crashed.End();
    heldOwner.End();
    const std::wstring dead = crashed.Temporary(folder, 1), deadReadOnly = crashed.Temporary(folder, 2);
    const std::wstring live = running.Temporary(folder, 1), held = heldOwner.Temporary(folder, 7);
    const std::wstring ours = folder / (L"~aur" + std::to_wstring(GetCurrentProcessId()) + L"-1.tmp");
    for (const std::wstring& path : {dead, deadReadOnly, live, held, ours}) WriteWholeFile(path, "partial");
    WriteWholeFile(folder / L"~aurnotes.tmp", "not ours");
    SetReadOnly(deadReadOnly, true);
    ASSERT_FALSE(ProcessRunning(crashed.info.dwProcessId));
    ASSERT_TRUE(ProcessRunning(running.info.dwProcessId));

    std::vector<std::wstring> removed;
    {
        // A writer still holds this one although its process id is gone: no sweep may take it.
        const HeldOpen writer(held);
        removed = SweepLeftoverTemporaries(folder.Path());
    }
    EXPECT_EQ(removed.size(), 2u);
    EXPECT_FALSE(PathExists(dead));
    EXPECT_FALSE(PathExists(deadReadOnly));
    for (const std::wstring& path : {live, held, ours, folder / L"~aurnotes.tmp"})
        EXPECT_EQ(ReadWholeFile(path), path.ends_with(L"notes.tmp") ? "not ours" : "partial");
    SetReadOnly(deadReadOnly, false);
}

// A process id is reused, and under Wine every fresh launcher gets the id of the one that was killed:
// a file made before the process now holding its id started is a leftover, not that process's.
TEST(LeftoverSweep, AFileOlderThanTheProcessNowHoldingItsIdIsSwept) {
    TempFolder folder;
    const std::wstring early = folder / L"made-early.tmp";
    WriteWholeFile(early, "partial");
    Sleep(50);
    ChildProcess running;
    const std::wstring older = running.Temporary(folder, 4), newer = running.Temporary(folder, 5);
    ASSERT_TRUE(MoveFileW(early.c_str(), older.c_str()));
    WriteWholeFile(newer, "partial");

    const std::vector<std::wstring> removed = SweepLeftoverTemporaries(folder.Path());
    EXPECT_EQ(removed, std::vector<std::wstring>{older});
    EXPECT_EQ(ReadWholeFile(newer), "partial");
}

TEST(LeftoverSweep, AMissingFolderSweepsNothing) {
    EXPECT_TRUE(SweepLeftoverTemporaries(L"Z:\\no\\such\\aurevia\\folder\\").empty());
}
