// The real Aurevia.EXE with [Frota] url= pointing at a scripted endpoint in this process.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <regex>

#include "base/string_convert.h"
#include "harness.h"
#include "support/scripted_server.h"
#include "support/test_publisher.h"

using namespace e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel
const std::wregex kElapsedCaption(L"^Aurevia Tempo do update : .*$");
const std::string kAccepted =
    ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Type: application/json\r\n", "{\"accepted\":1}");

FILETIME Time(int AYear) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(AYear);
    st.wMonth = 3;
    st.wDay = 1;
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

struct TReport {
    std::string event, module, result, reason, text, machine, version, time;
    int listed = 0, fetched = 0, failed = 0;
};

// Every report every request to the endpoint carried, in order.
std::vector<TReport> ReportsOf(const ScriptedServer& AServer) {
    std::vector<TReport> reports;
    for (const ReceivedRequest& request : AServer.Requests()) {
        rapidjson::Document body;
        body.Parse(request.body.c_str(), request.body.size());
        if (body.HasParseError() || !body.IsArray()) {
            ADD_FAILURE() << "not a batch: " << request.body;
            continue;
        }
        for (const auto& r : body.GetArray()) {
            TReport report;
            report.event = r["event"].GetString();
            report.module = r["module"].GetString();
            report.result = r["result"].GetString();
            report.reason = r["reason"].GetString();
            report.text = r["text"].GetString();
            report.machine = r["machine"].GetString();
            report.version = r["version"].GetString();
            report.time = r["time"].GetString();
            report.listed = r["files_listed"].GetInt();
            report.fetched = r["files_fetched"].GetInt();
            report.failed = r["files_failed"].GetInt();
            reports.push_back(std::move(report));
        }
    }
    return reports;
}

const TReport* Find(const std::vector<TReport>& AReports, const std::string& AEvent) {
    for (const TReport& report : AReports)
        if (report.event == AEvent) return &report;
    return nullptr;
}

std::string ComputerName() {
    wchar_t name[256] = {};
    DWORD size = 256;
    GetComputerNameExW(ComputerNamePhysicalDnsHostname, name, &size);
    return WideToUtf8(name);
}

class FleetSession : public testing::Test {
  protected:
    Installation install;
    TempFolder server, appData, scratch;
    std::unique_ptr<Process> launcher;
    HWND window = nullptr;

    void SetUp() override {
        // The launcher inherits them: its log and spool land in this test's folder, its module's
        // start is recorded here.
        SetEnvironmentVariableW(L"LOCALAPPDATA", appData.Path().wstring().c_str());
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
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
    void SetFleetUrl(const std::wstring& AUrl) {
        WritePrivateProfileStringW(L"Frota", L"url", AUrl.c_str(), (install / L"Aurevia.ini").c_str());
    }
    std::filesystem::path Spool() const { return appData / L"Aurevia\\fleet-spool.json"; }

    void StartAndRefresh() {
        launcher = std::make_unique<Process>(install.Exe().wstring(), L"", install.Path().wstring());
        window = WaitForMenuWindow(launcher->Id());
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 15s));
        const std::wstring refreshed = WaitForCaption(
            window, [](const std::wstring& c) { return std::regex_match(c, kElapsedCaption); }, 30s);
        ASSERT_TRUE(std::regex_match(refreshed, kElapsedCaption));
    }
    // From the click on the tile to the module's window.
    Millis LaunchAdmission() {
        const auto start = std::chrono::steady_clock::now();
        ClickAt(window, kAdmission);
        EXPECT_NE(WaitForWindow(0, L"Admission.exe", 30s), nullptr);
        return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start);
    }
    void Quit() {
        CloseWindowsTitled(L"Admission.exe");
        WaitUntil([] { return FindWindowW(nullptr, L"Admission.exe") == nullptr; }, 10s);
        QuitThroughTrayMenu(window);
        ASSERT_TRUE(launcher->WaitForExit(15s).has_value());
        window = nullptr;
    }
};

}  // namespace

TEST_F(FleetSession, AnOkUpdateAFailedFetchAndTheSelfUpdateDecisionAreReported) {
    ScriptedServer endpoint;
    endpoint.On("/report", kAccepted);
    SetFleetUrl(endpoint.BaseURL());
    WriteTextFile(server / L"central.ini", "[Central]\r\n");
    SetLastWriteTime(server / L"central.ini", Time(2024));
    WriteTextFile(server / L"gds32.dll", "new client library");
    SetLastWriteTime(server / L"gds32.dll", Time(2024));
    // A server launcher without version information: the self-update keeps the running one.
    WriteTextFile(server / L"Aurevia.EXE", "not a program");
    WriteTextFile(install / L"gds32.dll", "old client library");
    SetLastWriteTime(install / L"gds32.dll", Time(2020));
    {
        // Held by a running program during the start-up refresh: its fetch fails, the others land.
        const HANDLE held = CreateFileW((install / L"gds32.dll").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        ASSERT_NO_FATAL_FAILURE(StartAndRefresh());
        CloseHandle(held);
    }
    LaunchAdmission();
    ASSERT_TRUE(WaitUntil([&] { return ReportsOf(endpoint).size() >= 3; }, 20s))
        << ReportsOf(endpoint).size();
    const std::vector<TReport> reports = ReportsOf(endpoint);

    const TReport* startup = Find(reports, "startup");
    ASSERT_NE(startup, nullptr);
    EXPECT_EQ(startup->module, "");
    EXPECT_EQ(startup->result, "failed");
    // Held by another program: the workstation's disk refused it, whatever the system's text says.
    EXPECT_EQ(startup->reason, "disk");
    EXPECT_NE(startup->text.find("gds32.dll"), std::string::npos) << startup->text;
    EXPECT_EQ(startup->fetched, 1);
    EXPECT_EQ(startup->failed, 1);
    EXPECT_EQ(startup->listed, 4);

    const TReport* module = Find(reports, "module");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->module, "Admission.exe");
    EXPECT_EQ(module->result, "ok");
    EXPECT_EQ(module->reason, "none");
    EXPECT_EQ(module->failed, 0);
    EXPECT_GE(module->fetched, 1);  // Admission.exe, and gds32.dll now that it is free

    const TReport* self = Find(reports, "self-update");
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->result, "ok");
    EXPECT_EQ(self->text.rfind("up to date: version unreadable", 0), 0u) << self->text;

    // Who sent it: the computer, never the user; the time with its offset.
    wchar_t user[257] = {};
    DWORD size = 257;
    GetUserNameW(user, &size);
    const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    for (const TReport& report : reports) {
        EXPECT_EQ(report.machine, ComputerName());
        EXPECT_FALSE(report.version.empty());
        EXPECT_TRUE(std::regex_match(report.time, time)) << report.time;
    }
    for (const ReceivedRequest& request : endpoint.Requests())
        EXPECT_EQ(request.body.find("\"" + WideToUtf8(user) + "\""), std::string::npos) << request.body;
    ASSERT_NO_FATAL_FAILURE(Quit());
    EXPECT_FALSE(std::filesystem::exists(Spool()));
}

TEST_F(FleetSession, ARefusedReleaseIsReportedAsRefused) {
    ScriptedServer endpoint;
    endpoint.On("/report", kAccepted);
    SetFleetUrl(endpoint.BaseURL());
    const TestPublisher publisher;
    WritePrivateProfileStringW(L"Seguranca", L"Chave Publica", publisher.PublicKeyText().c_str(),
                               (install / L"Aurevia.ini").c_str());
    WriteTextFile(server / L"gds32.dll", "client library");
    // A well-formed release signed with a key that is not the configured one.
    const TestPublisher stranger;
    stranger.PublishFolder(server.Path().wstring() + L"\\", 7, UnixNowPlus(30 * 86400));
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Manifesto");

    launcher = std::make_unique<Process>(install.Exe().wstring(), L"", install.Path().wstring());
    window = WaitForMenuWindow(launcher->Id());
    ASSERT_NE(window, nullptr);
    // The refusal's one warning, answered as a user would.
    const HWND warning = WaitForDialog(L"Aviso", 30s);
    ASSERT_NE(warning, nullptr);
    AnswerWithEnter(warning);
    ASSERT_TRUE(WaitUntil([&] { return Find(ReportsOf(endpoint), "startup") != nullptr; }, 20s));
    const TReport startup = *Find(ReportsOf(endpoint), "startup");
    EXPECT_EQ(startup.result, "refused");
    EXPECT_EQ(startup.reason, "signature");
    EXPECT_EQ(startup.fetched, 0);
    EXPECT_FALSE(startup.text.empty());
}

TEST_F(FleetSession, ADeadEndpointCostsTheUserNothingAndItsReportsGoLater) {
    // Without [Frota]: nothing is sent, nothing is written; the module's start time is the peer.
    Millis plain{};
    {
        ScriptedServer endpoint;
        endpoint.On("/report", kAccepted);
        ASSERT_NO_FATAL_FAILURE(StartAndRefresh());
        plain = LaunchAdmission();
        Sleep(1500);
        ASSERT_NO_FATAL_FAILURE(Quit());
        EXPECT_TRUE(endpoint.Requests().empty());
        EXPECT_FALSE(std::filesystem::exists(Spool()));
    }

    // One endpoint that accepts and never answers, one that refuses the connection.
    ScriptedServer silent;
    silent.On("/report", [&silent](SOCKET, const ReceivedRequest&) { silent.HoldUntilStopped(); });
    const std::wstring dead[] = {silent.BaseURL(), L"http://127.0.0.1:" + std::to_wstring(ClosedPort())};
    for (const std::wstring& url : dead) {
        SetFleetUrl(url);
        ASSERT_NO_FATAL_FAILURE(StartAndRefresh());
        const Millis withReports = LaunchAdmission();
        // Loose: a sender in the user's way would add at least one 3 s timeout to the start.
        std::printf("module start: %lld ms without reports, %lld ms reporting to %s\n",
                    static_cast<long long>(plain.count()), static_cast<long long>(withReports.count()),
                    WideToUtf8(url).c_str());
        EXPECT_LT(withReports.count(), plain.count() + 2500) << WideToUtf8(url);
        ASSERT_NO_FATAL_FAILURE(Quit());
        EXPECT_NE(ReadTextFile(Spool()).find("\"event\":\"startup\""), std::string::npos) << WideToUtf8(url);
    }

    // The service back: what waited goes with the next report.
    ScriptedServer endpoint;
    endpoint.On("/report", kAccepted);
    SetFleetUrl(endpoint.BaseURL());
    ASSERT_NO_FATAL_FAILURE(StartAndRefresh());
    const auto startups = [&] {
        int count = 0;
        for (const TReport& report : ReportsOf(endpoint)) count += report.event == "startup";
        return count;
    };
    // The two dead sessions' and this one's.
    EXPECT_TRUE(WaitUntil([&] { return startups() >= 3; }, 20s)) << startups();
    ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(Spool()); }, 20s));
    ASSERT_NO_FATAL_FAILURE(Quit());
}
