#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "launcher/self_update/launcher_files.h"
#include "launcher/support/support_tools.h"
#include "support/test_publisher.h"
#include "windows/launcher/test_files.h"

namespace {

using namespace testfiles;

const std::wstring kTool = kSupportTool1;

// A server folder with a tool, and a current directory that receives the copy (the destination
// folder is empty, as the launcher passes it).
class CopyFromServerTest : public ::testing::Test {
  protected:
    TempFolder temp;
    std::wstring server = temp.Folder(L"server");
    fs::path local = temp.Folder(L"local");
    CurrentDirectoryScope cwd{local};
    TShellFileOperation operation;

    void PutServerTool() {
        WriteBytes(server + kTool, "server build");
        SetLastWriteTime(server + kTool, 2024, 5, 6, 7, 8, 10);
    }
    void PutLocalTool(int secondsAfterServer) {
        WriteBytes(local / kTool, "local build");
        SetLastWriteTime(local / kTool, 2024, 5, 6, 7, 8, 10);
        ShiftLastWriteTime(local / kTool, secondsAfterServer);
    }
    void Copy() { CopyFromServer(operation, nullptr, server, L"", kTool); }
};

TEST_F(CopyFromServerTest, ALocalCopyOfTheSameDosTimeStaysAsItIs) {
    PutServerTool();
    PutLocalTool(1);  // 07:08:11 packs to the same two-second step as 07:08:10
    Copy();
    EXPECT_EQ(ReadBytes(local / kTool), "local build");
    EXPECT_TRUE(operation.SourceFiles.empty());
}

TEST_F(CopyFromServerTest, AStaleOrMissingLocalCopyIsCopiedWithTheServersTime) {
    for (const bool stale : {true, false}) {
        PutServerTool();
        if (stale)
            PutLocalTool(2);
        else
            fs::remove(local / kTool);

        Copy();

        EXPECT_EQ(ReadBytes(local / kTool), "server build") << "stale " << stale;
        EXPECT_EQ(FileDosAge((local / kTool).wstring()), FileDosAge(server + kTool));
        EXPECT_EQ(operation.SourceFiles, std::vector<std::wstring>{server + kTool});
        EXPECT_EQ(operation.DestinationFolders, std::vector<std::wstring>{L""});
        // The copy keeps the server's time, so the next run copies nothing.
        WriteBytes(server + kTool, "server build");
        SetLastWriteTime(server + kTool, 2024, 5, 6, 7, 8, 10);
        Copy();
        EXPECT_TRUE(operation.SourceFiles.empty());
    }
}

TEST_F(CopyFromServerTest, WithoutAServerCopyNothingIsTouchedAndTheListsAreEmptied) {
    PutServerTool();
    PutLocalTool(60);
    fs::remove(server + kTool);
    operation.SourceFiles = {L"left over"};
    operation.DestinationFolders = {L"left over"};
    Copy();
    EXPECT_EQ(ReadBytes(local / kTool), "local build");
    EXPECT_TRUE(operation.SourceFiles.empty());
    EXPECT_TRUE(operation.DestinationFolders.empty());
}

// With a key, in the flat folder: the tool reaches the launcher's folder only once it is the signed
// one, and only the signed one starts. What is in the folder afterwards is checked name by name, so
// a temporary left behind counts too.
TEST(UpdateSignedSupportTool, OnlyTheSignedToolReachesTheFolderAndStarts) {
    const TestPublisher publisher;
    struct Case {
        const char* why;
        const char* server;  // the server's tool once signed; nullptr: not on the server
        bool alterServer;    // changed on the server after signing
        const char* local;   // the launcher's copy before; nullptr: none
        bool sign;           // the folder has a manifest
        const char* after;   // the launcher's copy afterwards; nullptr: none
        std::wstring refusal;
    };
    const Case cases[] = {
        {"signed, no local copy", "signed build", false, nullptr, true, "signed build", L""},
        {"signed, stale local copy", "signed build", false, "old build", true, "signed build", L""},
        {"altered on the server, no local copy", "signed build", true, nullptr, true, nullptr,
         L"arquivo alterado"},
        {"altered on the server, a signed local copy", "signed build", true, "signed build", true,
         "signed build", L""},
        {"altered on the server, a stale local copy", "signed build", true, "old build", true, "old build",
         L"arquivo alterado"},
        {"not in the manifest", nullptr, false, "old build", true, "old build", L"arquivo alterado"},
        {"no manifest", "server build", false, "old build", false, "old build", L"manifesto ausente"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        TempFolder temp;
        const std::wstring server = temp.Folder(L"server");
        const std::wstring local = temp.Folder(L"local");
        const std::wstring serialKey =
            L"Software\\AureviaTest\\support-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, serialKey.c_str());
        const TUpdateVerification verification{publisher.PublicKeyText(), serialKey};
        if (c.server) WriteBytes(server + kTool, c.server);
        WriteBytes(server + L"other.dll", "another signed file");
        if (c.sign) publisher.PublishFolder(server, 3, UnixNowPlus(86400));
        if (c.alterServer) WriteBytes(server + kTool, "altered build");
        if (c.local) WriteBytes(local + kTool, c.local);

        const std::wstring refusal =
            UpdateSignedSupportTool(verification, server, local, local + kTool, kTool);

        EXPECT_EQ(refusal.substr(0, c.refusal.size()), c.refusal);
        EXPECT_EQ(refusal.empty(), c.refusal.empty());
        std::vector<std::wstring> left;
        for (const auto& entry : fs::directory_iterator(local))
            left.push_back(entry.path().filename().wstring());
        if (c.after) {
            EXPECT_EQ(left, std::vector<std::wstring>{kTool});
            EXPECT_EQ(ReadBytes(local + kTool), c.after);
        } else {
            EXPECT_TRUE(left.empty())
                << "left behind: " << (left.empty() ? std::string() : fs::path(left[0]).string());
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, serialKey.c_str());
    }
}

TEST(FileDosAge, IsMinusOneForWhatIsNotAFile) {
    TempFolder temp;
    EXPECT_EQ(FileDosAge((temp.Dir() / L"missing").wstring()), -1);
    EXPECT_EQ(FileDosAge(temp.Dir().wstring()), -1);
}

TEST(ShellNameList, NamesAreAbsoluteNullSeparatedAndDoubleNullClosed) {
    TempFolder temp;
    CurrentDirectoryScope cwd(temp.Dir());
    const std::wstring here = temp.Dir().wstring();
    EXPECT_EQ(ShellNameList({L""}), std::wstring(L"\0\0", 2));
    EXPECT_EQ(ShellNameList({}), std::wstring(L"\0\0", 2));
    EXPECT_EQ(ShellNameList({L"a.exe", L"C:\\x\\b.exe"}),
              here + L"\\a.exe" + L'\0' + L"C:\\x\\b.exe" + L'\0' + L'\0');
}

fs::path StubTool() { return ThisProgram().parent_path() / L"support_tool_stub.exe"; }

bool WaitForFile(const fs::path& file) {
    for (int i = 0; i < 100; ++i) {
        if (Exists(file) && !ReadBytes(file).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(StartSupportTool, StartsTheProgramQuotedEvenFromAFolderWithBlanks) {
    TempFolder temp;
    const std::wstring folder = temp.Folder(L"Program Files");
    fs::copy_file(StubTool(), folder + kTool);
    // What an unquoted command line would start instead.
    fs::copy_file(StubTool(), temp.Dir() / L"Program.exe");
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi{};

    EXPECT_TRUE(StartSupportTool(folder + kTool, si, pi));
    ASSERT_TRUE(WaitForFile(folder + kTool + L".started"));
    EXPECT_FALSE(Exists(temp.Dir() / L"Program.exe.started"));
}

TEST(StartSupportTool, AMissingProgramIsNotStarted) {
    TempFolder temp;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    EXPECT_FALSE(StartSupportTool((temp.Dir() / kTool).wstring(), si, pi));
}

}  // namespace
