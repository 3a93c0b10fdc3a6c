// Tile clicks and the start-up refresh of the real Aurevia.EXE against a server folder or a file
// service: files fetched with the server's times, modules started once each, in click order.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "base/string_convert.h"
#include "file_services.h"
#include "harness.h"

using namespace e2e;

namespace {

const std::wstring kCaption = L"Aurevia Solenne [2022.01.00]";
const std::wregex kElapsedCaption(L"^Aurevia Tempo do update : \\d\\d.\\d\\d\\.\\d\\d\\d$");

// Tile centres in client pixels (96 dpi), clear of the busy panel.
constexpr POINT kAdmission{265, 181};   // imgInternacao
constexpr POINT kScheduling{752, 181};  // imgAgendaConsulta
constexpr POINT kInvoicing{933, 397};   // imgFaturamento

FILETIME Time(int AYear, int AMonth, int ADay, int AHour) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(AYear);
    st.wMonth = static_cast<WORD>(AMonth);
    st.wDay = static_cast<WORD>(ADay);
    st.wHour = static_cast<WORD>(AHour);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

bool SameTime(FILETIME a, FILETIME b) { return CompareFileTime(&a, &b) == 0; }

std::vector<std::wstring> Split(const std::wstring& AText, wchar_t ASeparator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t i = 0; i <= AText.size(); ++i)
        if (i == AText.size() || AText[i] == ASeparator) {
            parts.push_back(AText.substr(start, i - start));
            start = i + 1;
        }
    return parts;
}

// A launcher installation beside a server folder; modules log their starts into one file.
class LauncherWithServer : public testing::Test {
  protected:
    Installation install;
    TempFolder server;
    TempFolder scratch;
    std::unique_ptr<Process> launcher;
    HWND window = nullptr;

    void SetUp() override {
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
    }
    void TearDown() override {
        for (const wchar_t* name : {L"Admission.exe", L"Scheduling.exe", L"Invoicing.exe"})
            CloseWindowsTitled(name);
        if (launcher && launcher->Running() && window) {
            QuitThroughTrayMenu(window);
            launcher->WaitForExit(5s);
        }
    }

    void AddServerModule(const std::wstring& AName) const {
        ASSERT_TRUE(CopyFileW(BuiltDemoModule().c_str(), (server / AName).c_str(), FALSE))
            << "demo-module.exe built?";
    }
    void AddServerFile(const std::wstring& AName, const std::string& AContent, FILETIME ATime) const {
        std::filesystem::create_directories((server / AName).parent_path());
        WriteTextFile(server / AName, AContent);
        SetLastWriteTime(server / AName, ATime);
    }
    void Start() {
        launcher = std::make_unique<Process>(install.Exe().wstring(), L"", install.Path().wstring());
        window = WaitForMenuWindow(launcher->Id());
        ASSERT_NE(window, nullptr);
        // Visible once construction (configuration included) is over.
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 15s));
    }
    // Waits for the elapsed-time caption that a completed update writes.
    void WaitForUpdateCaption() const {
        const std::wstring caption = WaitForCaption(
            window, [](const std::wstring& c) { return std::regex_match(c, kElapsedCaption); }, 30s);
        ASSERT_TRUE(std::regex_match(caption, kElapsedCaption))
            << std::string(caption.begin(), caption.end());
    }
    std::vector<std::vector<std::wstring>> LogLines() const {
        std::vector<std::vector<std::wstring>> lines;
        for (const std::wstring& line : Split(Utf8ToWide(ReadTextFile(scratch / L"modules.log")), L'\n')) {
            if (line.empty() || line == L"\r") continue;
            lines.push_back(Split(line.substr(0, line.find_last_not_of(L'\r') + 1), L'\t'));
        }
        return lines;
    }
    std::vector<std::wstring> StartedModules() const {
        std::vector<std::wstring> names;
        for (const auto& line : LogLines()) names.push_back(line.at(0));
        return names;
    }
};

}  // namespace

TEST_F(LauncherWithServer, StartupRefreshFetchesTheSharedFilesWithTheServerTimesAndStartsNothing) {
    AddServerFile(L"central.ini", "[Central]\r\nnew=1\r\n", Time(2024, 3, 1, 8));
    AddServerFile(L"gds32.dll", "client library", Time(2023, 11, 5, 14));
    AddServerFile(L"Relatorio\\RptScheduling.rav", "layout", Time(2024, 1, 9, 10));
    AddServerFile(L"extra.txt", "not in the list", Time(2024, 1, 9, 10));
    AddServerModule(L"Admission.exe");
    WriteTextFile(install / L"central.ini", "[Central]\r\nold=1\r\n");
    SetLastWriteTime(install / L"central.ini", Time(2020, 1, 1, 0));
    install.WriteIni(server.Path().wstring());

    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateCaption());
    EXPECT_FALSE(BusyPanelVisible(window));

    for (const wchar_t* name : {L"central.ini", L"gds32.dll", L"Relatorio\\RptScheduling.rav"}) {
        EXPECT_EQ(ReadTextFile(install / name), ReadTextFile(server / name))
            << std::filesystem::path(name).string();
        EXPECT_TRUE(SameTime(LastWriteTime(install / name), LastWriteTime(server / name)))
            << std::filesystem::path(name).string();
    }
    EXPECT_FALSE(std::filesystem::exists(install / L"extra.txt"))
        << "server files outside the list stay there";
    EXPECT_FALSE(std::filesystem::exists(install / L"Admission.exe")) << "the refresh fetches no module";
    Sleep(500);
    EXPECT_TRUE(LogLines().empty()) << "the refresh starts no program";
}

TEST_F(LauncherWithServer, ClickFetchesAModuleOnlyTheServerHasAndStartsItInTheLaunchersFolder) {
    AddServerModule(L"Admission.exe");
    SetLastWriteTime(server / L"Admission.exe", Time(2024, 2, 2, 9));
    install.WriteIni(server.Path().wstring());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateCaption());

    ClickAt(window, kAdmission);
    ASSERT_TRUE(WaitUntil([&] { return !LogLines().empty(); }, 20s)) << "the module did not start";
    const auto line = LogLines().at(0);
    ASSERT_EQ(line.size(), 3u);
    const std::wstring expectedPath = (install / L"Admission.exe").wstring();
    EXPECT_EQ(line[0], L"Admission.exe");
    EXPECT_EQ(_wcsicmp(line[1].c_str(), expectedPath.c_str()), 0) << "the command line is the bare full path";
    EXPECT_EQ(_wcsicmp(line[2].c_str(), install.Path().wstring().c_str()), 0)
        << "the launcher's current directory";
    EXPECT_TRUE(SameTime(LastWriteTime(install / L"Admission.exe"), Time(2024, 2, 2, 9)));
    EXPECT_NE(WaitForWindow(0, L"Admission.exe"), nullptr);
    EXPECT_TRUE(std::regex_match(CaptionOf(window), kElapsedCaption));
    EXPECT_FALSE(BusyPanelVisible(window));
}

TEST_F(LauncherWithServer, ModuleThatExistsNowhereShowsTheDialogWithItsFullPath) {
    install.WriteIni(server.Path().wstring());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateCaption());

    ClickAt(window, kInvoicing);
    HWND dialog = WaitForDialog(L"Informação");
    ASSERT_NE(dialog, nullptr);
    const std::wstring text = DialogText(dialog);
    EXPECT_NE(text.find(L"Módulo não instalado."), std::wstring::npos);
    EXPECT_NE(text.find((install / L"Invoicing.exe").wstring()), std::wstring::npos);
    EXPECT_FALSE(BusyPanelVisible(window));
    AnswerWithEnter(dialog);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, 5s));
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(LauncherWithServer, DoubleClickOnATileStartsItsModuleOnce) {
    AddServerModule(L"Admission.exe");
    install.WriteIni(server.Path().wstring());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateCaption());

    ClickAt(window, kAdmission);
    ClickAt(window, kAdmission);
    ASSERT_TRUE(WaitUntil([&] { return !LogLines().empty(); }, 20s));
    Sleep(1500);
    EXPECT_EQ(StartedModules(), std::vector<std::wstring>{L"Admission.exe"});
}

TEST_F(LauncherWithServer, ClicksDuringAnUpdateWaitTheirTurnAndEachModuleStartsOnceInClickOrder) {
    // Every download takes a while, so the clicks below land while updates run.
    const std::string module = ReadTextFile(BuiltDemoModule());
    ScriptedFileService service({{"central.ini", "[Central]\r\n", "2024-03-01T08:00:00.000"},
                                 {"Admission.exe", module, "2024-03-01T08:00:00.000"},
                                 {"Invoicing.exe", module, "2024-03-01T08:00:00.000"}},
                                1500ms);
    install.WriteIni(server.Path().wstring(), service.URL());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(WaitUntil([&] { return service.Requests().size() >= 2; }, 10s))
        << "the refresh did not start";

    ClickAt(window, kAdmission);  // during the refresh
    ClickAt(window, kInvoicing);  // waits behind it
    Sleep(600);
    ClickAt(window, kInvoicing);  // already waiting: ignored
    ClickAt(window, kAdmission);  // waiting: ignored
    EXPECT_TRUE(BusyPanelVisible(window));

    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() >= 2; }, 30s)) << "not every module started";
    Sleep(2000);
    EXPECT_EQ(StartedModules(), (std::vector<std::wstring>{L"Admission.exe", L"Invoicing.exe"}));
    EXPECT_FALSE(BusyPanelVisible(window));

    // One update at a time: each list request comes after the previous update's last answer.
    const auto requests = service.Requests();
    std::vector<size_t> lists;
    for (size_t i = 0; i < requests.size(); ++i)
        if (requests[i].rfind("/folderlist", 0) == 0) lists.push_back(i);
    ASSERT_EQ(lists.size(), 3u) << "the refresh and one update per module";
    for (size_t n = 1; n < lists.size(); ++n)
        for (size_t i = lists[n - 1]; i < lists[n]; ++i)
            if (requests[i].rfind("/download", 0) == 0) {
                const auto done = std::find(requests.begin(), requests.end(), "done " + requests[i]);
                EXPECT_LT(static_cast<size_t>(done - requests.begin()), lists[n]) << requests[i];
            }
}

TEST_F(LauncherWithServer, ABusyServiceIsWaitedForWithThePanelUpAndTheModuleStarts) {
    const std::string module = ReadTextFile(BuiltDemoModule());
    ScriptedFileService service({{"Admission.exe", module, "2024-03-01T08:00:00.000"}}, 0ms);
    install.WriteIni(server.Path().wstring(), service.URL());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateCaption());

    // The download is answered "come back in a second" twice; the update waits and asks again.
    service.AnswerBusy("/download", 2, 1);
    ClickAt(window, kAdmission);
    Sleep(1000);
    EXPECT_TRUE(BusyPanelVisible(window));
    ASSERT_TRUE(WaitUntil([&] { return !LogLines().empty(); }, 20s)) << "the module did not start";
    EXPECT_EQ(StartedModules(), std::vector<std::wstring>{L"Admission.exe"});
    EXPECT_EQ(ReadTextFile(install / L"Admission.exe"), module);
    const auto requests = service.Requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const std::string& r) { return r.rfind("/download", 0) == 0; }),
              3);
}

TEST_F(LauncherWithServer, UrlModeFetchesFromTheReferenceFileServiceAndStartsTheModule) {
    AddServerModule(L"Scheduling.exe");
    AddServerFile(L"central.ini", "[Central]\r\n", Time(2024, 3, 1, 8));
    ReferenceFileService service(server.Path().wstring());
    if (!service.Running()) GTEST_SKIP() << "the reference file service has not been built (native tree)";
    TempFolder emptyFolder;  // "Local Exe" names a folder without files: everything comes from the service
    install.WriteIni(emptyFolder.Path().wstring(), service.URL());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateCaption());
    EXPECT_EQ(ReadTextFile(install / L"central.ini"), "[Central]\r\n");

    ClickAt(window, kScheduling);
    ASSERT_TRUE(WaitUntil([&] { return !LogLines().empty(); }, 20s)) << "the module did not start";
    EXPECT_EQ(StartedModules(), std::vector<std::wstring>{L"Scheduling.exe"});
}

TEST_F(LauncherWithServer, MissingServerFolderShowsTheErrorBoxWithThePanelHidden) {
    install.WriteIni((server / L"missing").wstring());
    ASSERT_NO_FATAL_FAILURE(Start());
    HWND box = WaitForDialog(L"Aurevia");
    ASSERT_NE(box, nullptr);
    EXPECT_NE(DialogText(box).find(L"The specified path was not found."), std::wstring::npos);
    EXPECT_FALSE(BusyPanelVisible(window)) << "the panel goes before the error box shows";
    AnswerWithEnter(box);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(box); }, 5s));
    EXPECT_EQ(CaptionOf(window), kCaption) << "the caption keeps its text";
}

TEST_F(LauncherWithServer, UnconfiguredLauncherRunsNoUpdateAndStartsWhatIsThere) {
    ASSERT_TRUE(CopyFileW(BuiltDemoModule().c_str(), (install / L"Admission.exe").c_str(), FALSE));
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(WaitUntil([&] { return !BusyPanelVisible(window); }, 10s)) << "the refresh hides the panel";
    EXPECT_EQ(CaptionOf(window), kCaption);

    ClickAt(window, kAdmission);
    ASSERT_TRUE(WaitUntil([&] { return !LogLines().empty(); }, 10s));
    EXPECT_EQ(StartedModules(), std::vector<std::wstring>{L"Admission.exe"});

    ClickAt(window, kInvoicing);
    HWND dialog = WaitForDialog(L"Informação");
    ASSERT_NE(dialog, nullptr);
    AnswerWithEnter(dialog);
}

TEST_F(LauncherWithServer, QuittingWhileAnUpdateRunsEndsCleanly) {
    ScriptedFileService service({{"central.ini", "[Central]\r\n", "2024-03-01T08:00:00.000"}}, 3000ms);
    install.WriteIni(server.Path().wstring(), service.URL());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(WaitUntil([&] { return service.Requests().size() >= 3; }, 10s))
        << "the download did not start";
    QuitThroughTrayMenu(window);
    EXPECT_EQ(launcher->WaitForExit(10s), std::optional<DWORD>(0));
}
