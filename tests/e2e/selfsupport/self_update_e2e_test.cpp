// The real launcher replacing itself with the server folder's build, driven as a user would.
#include <gtest/gtest.h>

#include "launcher_session.h"
#include "windows/launcher/test_files.h"

using namespace selfsupport_e2e;
using Version = std::array<std::uint16_t, 4>;

namespace {

constexpr Version kBuilt{AUREVIA_FILE_VERSION_PARTS};  // the version of the tree under test

// A menu window of another launcher process than AOldId.
HWND WaitForSuccessor(DWORD AOldId) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : TopLevelWindows(0, L"AureviaMenu")) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid != AOldId && IsWindowVisible(w)) {
                    found = w;
                    return true;
                }
            }
            return false;
        },
        20s);
    return found;
}

void PutServerBuild(LauncherSession& ASession, Version AVersion) {
    testfiles::CopyWithFileVersion(BuiltLauncher(), ASession.Server(L"Aurevia.EXE"), AVersion);
}

}  // namespace

TEST(SelfUpdateE2E, AnotherServerVersionReplacesTheLauncherAndRestartsItAfterTheNotice) {
    for (const Version server : {Version{2022, 2, 8250, 63552}, Version{2021, 1, 8249, 63552}}) {
        LauncherSession session;
        PutServerBuild(session, server);
        const std::string oldBuild = ReadTextFile(session.installation.Exe());
        const std::string newBuild = ReadTextFile(session.Server(L"Aurevia.EXE"));
        ASSERT_NO_FATAL_FAILURE(session.Start());

        HWND notice = WaitForDialog(L"Aurevia");
        ASSERT_NE(notice, nullptr) << "no notice for server version " << server[0];
        EXPECT_EQ(MessageText(notice), L"Aplicação atualizada com sucesso!");
        // The swap is done, but the launcher waits for the user before it ends.
        EXPECT_EQ(ReadTextFile(session.Local(L"Aurevia.EXE")), newBuild);
        EXPECT_EQ(ReadTextFile(session.Local(L"Aurevia.OLD")), oldBuild);
        EXPECT_FALSE(std::filesystem::exists(session.Local(L"Aurevia.NEW")));
        Sleep(500);
        EXPECT_TRUE(session.process->Running());

        AnswerWithEnter(notice);
        EXPECT_EQ(session.process->WaitForExit(20s), std::optional<DWORD>(0));

        // The successor is not turned away as a second start, and finds nothing more to update.
        HWND successor = WaitForSuccessor(session.process->Id());
        ASSERT_NE(successor, nullptr) << "the new launcher did not start";
        DWORD successorId = 0;
        GetWindowThreadProcessId(successor, &successorId);
        ProcessById successorProcess(successorId);
        Sleep(1000);
        EXPECT_FALSE(ProcessShows(successorId, L"Aurevia"));
        EXPECT_EQ(ReadTextFile(session.Local(L"Aurevia.OLD")), oldBuild);
        QuitThroughTrayMenu(successor);
        EXPECT_TRUE(WaitUntil([&] { return !successorProcess.Running(); }, 10s));
    }
}

// Builds that differ only in digits the short form drops are told apart by the Windows tests
// (windows_selfsupport); here the same build on both sides.
TEST(SelfUpdateE2E, TheSameVersionTouchesNothing) {
    struct Case {
        Version local, server;
    };
    for (const Case c : {Case{kBuilt, kBuilt}}) {
        LauncherSession session;
        if (c.local != kBuilt)
            testfiles::CopyWithFileVersion(BuiltLauncher(), session.installation.Exe(), c.local);
        PutServerBuild(session, c.server);
        const std::string before = ReadTextFile(session.installation.Exe());
        ASSERT_NO_FATAL_FAILURE(session.Start());

        EXPECT_EQ(WaitForDialog(L"Aurevia", 2s), nullptr);
        EXPECT_EQ(ReadTextFile(session.installation.Exe()), before);
        EXPECT_FALSE(std::filesystem::exists(session.Local(L"Aurevia.NEW")));
        EXPECT_FALSE(std::filesystem::exists(session.Local(L"Aurevia.OLD")));
        session.Quit();
    }
}

TEST(SelfUpdateE2E, AFailedCopyOrSwapKeepsTheRunningLauncherInPlace) {
    // "Aurevia.NEW" held open by this test: without any sharing the copy cannot be written; with
    // read and write sharing but no delete sharing it is written but cannot be renamed, so the swap
    // fails half-way, after the running launcher has been moved aside.
    for (const DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
        LauncherSession session;
        PutServerBuild(session, {2022, 2, 8250, 63552});
        WriteTextFile(session.Local(L"Aurevia.NEW"), "stale");
        const std::string before = ReadTextFile(session.installation.Exe());
        HANDLE held = CreateFileW(session.Local(L"Aurevia.NEW").c_str(), GENERIC_READ, share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        ASSERT_NO_FATAL_FAILURE(session.Start());

        HWND notice = WaitForDialog(L"Aurevia");
        ASSERT_NE(notice, nullptr) << "share " << share;
        EXPECT_EQ(MessageText(notice), L"Copia de arquivo falhou! Tente novamente!");
        AnswerAndWaitClosed(notice);
        CloseHandle(held);

        Sleep(500);
        EXPECT_TRUE(session.process->Running()) << "share " << share;
        EXPECT_EQ(ReadTextFile(session.installation.Exe()), before) << "share " << share;
        EXPECT_FALSE(std::filesystem::exists(session.Local(L"Aurevia.OLD"))) << "share " << share;
        session.Quit();
    }
}
