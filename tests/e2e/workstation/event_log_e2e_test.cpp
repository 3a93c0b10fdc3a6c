// The real launcher's log for IT: what a start, a refresh with a failed fetch, a module start and a
// kept self-update write, and a launcher that cannot write its log at all.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "base/string_convert.h"
#include "harness.h"

using namespace e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel
const std::wregex kElapsedCaption(L"^Aurevia Tempo do update : .*$");

FILETIME Time(int AYear) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(AYear);
    st.wMonth = 3;
    st.wDay = 1;
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

class LauncherLog : public testing::Test {
  protected:
    Installation install;
    TempFolder server, appData;
    std::unique_ptr<Process> launcher;
    HWND window = nullptr;

    void SetUp() override {
        // The launcher inherits it: its log lands in this test's folder.
        SetEnvironmentVariableW(L"LOCALAPPDATA", appData.Path().wstring().c_str());
        ASSERT_TRUE(CopyFileW(BuiltDemoModule().c_str(), (server / L"Admission.exe").c_str(), FALSE));
        install.WriteIni(server.Path().wstring());
    }
    void TearDown() override {
        CloseWindowsTitled(L"Admission.exe");
        if (launcher && launcher->Running() && window) {
            QuitThroughTrayMenu(window);
            launcher->WaitForExit(10s);
        }
    }
    void StartAndLaunchAdmission() {
        launcher = std::make_unique<Process>(install.Exe().wstring(), L"", install.Path().wstring());
        window = WaitForMenuWindow(launcher->Id());
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 15s));
        const std::wstring refreshed = WaitForCaption(
            window, [](const std::wstring& c) { return std::regex_match(c, kElapsedCaption); }, 30s);
        ASSERT_TRUE(std::regex_match(refreshed, kElapsedCaption));
        ClickAt(window, kAdmission);
        ASSERT_NE(WaitForWindow(0, L"Admission.exe", 30s), nullptr);
    }
    void Quit() {
        // The module's window first, so that the tray menu opens over nothing else of the test's.
        CloseWindowsTitled(L"Admission.exe");
        WaitUntil([] { return FindWindowW(nullptr, L"Admission.exe") == nullptr; }, 10s);
        QuitThroughTrayMenu(window);
        ASSERT_TRUE(launcher->WaitForExit(15s).has_value());
        window = nullptr;
    }
};

}  // namespace

TEST_F(LauncherLog, StartRefreshWithAFailedFetchModuleStartAndAKeptSelfUpdateAreLines) {
    WriteTextFile(server / L"central.ini", "[Central]\r\n");
    SetLastWriteTime(server / L"central.ini", Time(2024));
    WriteTextFile(server / L"gds32.dll", "new client library");
    SetLastWriteTime(server / L"gds32.dll", Time(2024));
    // A server launcher without version information: the self-update keeps the running one.
    WriteTextFile(server / L"Aurevia.EXE", "not a program");
    WriteTextFile(install / L"gds32.dll", "old client library");
    SetLastWriteTime(install / L"gds32.dll", Time(2020));
    {
        // Held by a running program: its fetch fails, the others land.
        const HANDLE held = CreateFileW((install / L"gds32.dll").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        StartAndLaunchAdmission();
        CloseHandle(held);
    }
    const HWND module = WaitForWindow(0, L"Admission.exe", 5s);
    DWORD modulePid = 0;
    GetWindowThreadProcessId(module, &modulePid);
    ASSERT_NE(modulePid, 0u);
    const DWORD launcherPid = launcher->Id();
    ASSERT_NO_FATAL_FAILURE(Quit());

    const std::string log = ReadTextFile(appData / L"Aurevia\\Aurevia.log");
    const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";
    const std::string pid = std::to_string(launcherPid);
    const std::string expected[] = {
        time + " INFO start version=\\S+ pid=" + pid + " folder=\\S+ source=folder server=\\S+ policy=none",
        time + " INFO fetch module=- file=central.ini bytes=11 via=plain wire_bytes=11 ms=\\d+",
        // Held by a running program: a sharing violation, whatever the system's language.
        time +
            " WARN fetch-failed module=- file=gds32.dll reason=\"[^\"]+\" category=disk code=win32:32 "
            "ms=\\d+",
        time +
            " WARN update module=- source=\\S+ listed=\\d+ server=4 queued=2 fetched=1 failed=1 bytes=11 "
            "patched=0 wire_bytes=11 ms=\\d+",
        time + " INFO self-update decision=keep reason=\"version unreadable\" local=\\S+ server=-",
        time +
            " WARN update module=Admission.exe source=\\S+ listed=\\d+ server=4 queued=2 fetched=1 "
            "failed=1 "
            "bytes=\\d+ patched=0 wire_bytes=\\d+ ms=\\d+",
        time + " INFO module-start path=\\S+Admission.exe pid=" + std::to_string(modulePid),
        time + " INFO end pid=" + pid + " code=0",
    };
    for (const std::string& line : expected)
        EXPECT_TRUE(std::regex_search(log, std::regex("(^|\n)" + line + "\r\n"))) << line << "\nin:\n" << log;
}

TEST_F(LauncherLog, ALogThatCannotBeWrittenCostsTheLauncherNothing) {
    // A file where the log's folder should be.
    WriteTextFile(appData / L"Aurevia", "not a folder");
    ASSERT_NO_FATAL_FAILURE(StartAndLaunchAdmission());
    ASSERT_NO_FATAL_FAILURE(Quit());
    EXPECT_EQ(ReadTextFile(appData / L"Aurevia"), "not a folder");
}
