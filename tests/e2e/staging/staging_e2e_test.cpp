// The real Aurevia.EXE of a pilot workstation over a server folder with a staged release: what the
// background fetch brings into aurevia-cache\, what it leaves alone, and what the click after the
// switch takes from there.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/selfsupport/launcher_session.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"

using namespace selfsupport_e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel
constexpr int64_t kMonth = 30 * 86400;

void ClearAcceptedSerials() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Manifesto");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Distribuicao");
}

std::string Pseudorandom(size_t ASize, uint32_t ASeed) {
    std::string bytes(ASize, '\0');
    for (char& c : bytes) {
        ASeed = ASeed * 1664525u + 1013904223u;
        c = static_cast<char>(ASeed >> 24);
    }
    return bytes;
}

struct StagingSession : LauncherSession {
    TestPublisher publisher;
    TempFolder scratch;
    std::unique_ptr<TestReleaseServer> releases;
    std::string module;  // the stand-in module's bytes: each release appends its own tail

    explicit StagingSession(const std::wstring& ACacheMB = L"", const std::wstring& AMaxKBps = L"") {
        ClearAcceptedSerials();
        const std::wstring ini = Local(L"Aurevia.ini").wstring();
        WritePrivateProfileStringW(L"Seguranca", L"Chave Publica", publisher.PublicKeyText().c_str(),
                                   ini.c_str());
        WritePrivateProfileStringW(L"Seguranca", L"Anel", L"piloto", ini.c_str());
        if (!ACacheMB.empty())
            WritePrivateProfileStringW(L"Rede", L"Cache MB", ACacheMB.c_str(), ini.c_str());
        if (!AMaxKBps.empty())
            WritePrivateProfileStringW(L"Rede", L"Max KBps", AMaxKBps.c_str(), ini.c_str());
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
        SetEnvironmentVariableW(L"LOCALAPPDATA", scratch.Path().wstring().c_str());
        releases = std::make_unique<TestReleaseServer>(publisher, serverFolder.Path().wstring() + L"\\");
        module = ReadTextFile(BuiltDemoModule());
    }
    ~StagingSession() {
        CloseWindowsTitled(L"Admission.exe");
        Quit();
        ClearAcceptedSerials();
    }
    std::vector<TestReleaseFile> Release(int n, int64_t age, const std::string& AReport = "") const {
        const std::string v = std::to_string(n);
        return {{"Admission.exe", module + "release " + v, age},
                {"gds32.dll", "gds " + v, age + 60},
                {"Relatorio\\RptScheduling.rav", AReport.empty() ? "layout " + v : AReport, age + 120}};
    }
    // The rollout in which the pilot ring takes ATakes and stages AStages (0: none).
    void Roll(uint64_t ASerial, uint64_t ATakes, uint64_t AStages) const {
        TRingAssignment pilot{"piloto", ATakes, {}, 100};
        if (AStages) {
            pilot.Staged = AStages;
            pilot.StagedSha256 = OneShotSha256(
                ReadTextFile(Server(L"aurevia-releases\\" + std::to_wstring(AStages) + L".json")));
        }
        releases->SetRollout(TRollout{ASerial, UnixNowPlus(kMonth), {pilot}});
    }
    bool Holds(const std::vector<TestReleaseFile>& AFiles) const {
        for (const TestReleaseFile& file : AFiles) {
            const std::wstring path = Local(std::wstring(file.Name.begin(), file.Name.end())).wstring();
            if (ReadTextFile(path) != file.Content || UnixAgeOf(path) != file.AgeUnix) return false;
        }
        return true;
    }
    // Where the store keeps a content, and where the server does.
    std::filesystem::path Stored(const std::string& AContent) const {
        return Local(L"aurevia-cache") / std::filesystem::path(releases->ObjectFile(AContent)).filename();
    }
    std::filesystem::path ServerObject(const std::string& AContent) const {
        return releases->ObjectFile(AContent);
    }
    // Under Wine an ended module's image stays mapped a moment: a switch after it replaces it.
    bool ModuleReplaceable() const {
        return WaitUntil(
            [&] {
                HANDLE probe = CreateFileW(Local(L"Admission.exe").c_str(), DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
                if (probe == INVALID_HANDLE_VALUE) return false;
                CloseHandle(probe);
                return true;
            },
            15s);
    }
    size_t ModuleStarts() const {
        const std::string log = ReadTextFile(scratch / L"modules.log");
        return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
    }
    std::string Log() const { return ReadTextFile(scratch / L"Aurevia\\Aurevia.log"); }
    bool Logged(const std::string& AText, std::chrono::milliseconds ATimeout) const {
        return WaitUntil([&] { return Log().find(AText) != std::string::npos; }, ATimeout);
    }
    void StartAndRefresh() {
        ASSERT_NO_FATAL_FAILURE(Start());
        WaitForCaption(
            window, [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; });
    }
    void LaunchAdmission() {
        const size_t before = ModuleStarts();
        SingleClickAt(window, kAdmission);
        ASSERT_TRUE(WaitUntil([&] { return ModuleStarts() > before; }, 30s)) << "the module did not start";
        HWND moduleWindow = nullptr;
        WaitUntil([&] { return (moduleWindow = FindWindowW(nullptr, L"Admission.exe")) != nullptr; }, 10s);
        DWORD pid = 0;
        if (moduleWindow) GetWindowThreadProcessId(moduleWindow, &pid);
        HANDLE moduleProcess = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
        CloseWindowsTitled(L"Admission.exe");
        if (moduleProcess) {
            EXPECT_EQ(WaitForSingleObject(moduleProcess, 15000), WAIT_OBJECT_0) << "the module did not end";
            CloseHandle(moduleProcess);
        }
    }
};

TEST(StagingE2E, AStagedReleaseIsFetchedAheadAndTheSwitchTakesItFromTheStoreOnly) {
    StagingSession session;
    const int64_t age1 = UnixUtc(2022, 1, 10, 10, 0, 1), age2 = UnixUtc(2023, 2, 11, 11, 0, 3);
    const auto release1 = session.Release(1, age1), release2 = session.Release(2, age2);
    session.releases->AddRelease(1, release1);
    session.releases->AddRelease(2, release2);
    session.Roll(1765400001, 1, 0);
    // The workstation holds release 1 from a first run, as after any earlier switch.
    {
        ASSERT_NO_FATAL_FAILURE(session.StartAndRefresh());
        ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
        ASSERT_TRUE(session.Holds(release1));
        session.Quit();
    }
    ASSERT_TRUE(session.ModuleReplaceable());
    session.Roll(1765400002, 1, 2);
    ASSERT_NO_FATAL_FAILURE(session.StartAndRefresh());
    ASSERT_TRUE(session.Logged("staging-complete ring=piloto staged=2", 60s)) << session.Log();
    for (const auto& file : release2)
        EXPECT_EQ(ReadTextFile(session.Stored(file.Content)), file.Content) << file.Name;
    // Staged, not installed: the program folder still holds release 1 and no module started.
    EXPECT_TRUE(session.Holds(release1));
    EXPECT_EQ(session.ModuleStarts(), 1u);

    // The switch, with release 2's objects gone from the server: only the store can give them. One
    // object in the store is altered: it is refused and fetched again, from the one object the server
    // kept.
    const std::string& altered = release2[1].Content;
    for (const auto& file : release2)
        if (file.Content != altered) std::filesystem::remove(session.ServerObject(file.Content));
    std::string tampered = altered;
    tampered[0] ^= 0x20;
    WriteTextFile(session.Stored(altered), tampered);
    session.Roll(1765400003, 2, 0);
    ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
    EXPECT_TRUE(session.Holds(release2)) << session.Log();
    // The log is written by a thread of its own: the lines may follow the module's start.
    EXPECT_TRUE(session.Logged("store module=Admission.exe files=2 bytes=" +
                                   std::to_string(release2[0].Content.size() + release2[2].Content.size()) +
                                   " altered=1",
                               10s))
        << session.Log();
    EXPECT_NE(session.Log().find("WARN store-altered object=" + session.Stored(altered).filename().string()),
              std::string::npos);
    // Moved, not copied: the store no longer holds what the program folder now holds, and the next
    // round wants none of it again.
    for (const auto& file : release2)
        EXPECT_FALSE(std::filesystem::exists(session.Stored(file.Content))) << file.Name;
    session.Quit();
    ASSERT_NO_FATAL_FAILURE(session.StartAndRefresh());
    EXPECT_TRUE(
        session.Logged("INFO staging ring=piloto serial=1765400003 release=2 staged=- wanted=0 held=0 "
                       "fetched=0 ",
                       60s))
        << session.Log();
    // Back to release 1, which the store does not hold: its files come from the server.
    ASSERT_TRUE(session.ModuleReplaceable());
    session.Roll(1765400004, 1, 0);
    ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
    EXPECT_TRUE(session.Holds(release1)) << session.Log();
}

TEST(StagingE2E, TheStoreKeepsWhatItsReleasesNameAndNoMoreThanItsBound) {
    StagingSession session(L"2");  // two megabytes: the module and the small files fit, the report does not
    const int64_t age = UnixUtc(2023, 2, 11, 11, 0, 3);
    session.releases->AddRelease(1, session.Release(1, age));
    // The staged release's report is larger than the whole store.
    const auto release2 = session.Release(2, age + 3600, Pseudorandom(1536 * 1024, 7));
    session.releases->AddRelease(2, release2);
    session.Roll(1765400001, 1, 2);
    const std::filesystem::path store = session.Local(L"aurevia-cache");
    std::filesystem::create_directories(store);
    const std::filesystem::path stray = store / std::string(64, 'a'),
                                strayPart = store / (std::string(64, 'b') + ".part");
    WriteTextFile(stray, "an object no release names");
    WriteTextFile(strayPart, "half of one");
    WriteTextFile(store / "notes.txt", "not an object at all");

    ASSERT_NO_FATAL_FAILURE(session.StartAndRefresh());
    ASSERT_TRUE(session.Logged("INFO staging ring=piloto", 60s)) << session.Log();
    EXPECT_FALSE(std::filesystem::exists(stray));
    EXPECT_FALSE(std::filesystem::exists(strayPart));
    EXPECT_FALSE(std::filesystem::exists(store / "notes.txt"));
    EXPECT_EQ(ReadTextFile(session.Stored(release2[0].Content)), release2[0].Content);
    EXPECT_EQ(ReadTextFile(session.Stored(release2[1].Content)), release2[1].Content);
    EXPECT_FALSE(std::filesystem::exists(session.Stored(release2[2].Content)));
    const std::string log = session.Log();
    EXPECT_NE(log.find(" skipped=1 "), std::string::npos) << log;
    EXPECT_NE(log.find(" pruned=3 "), std::string::npos) << log;
    EXPECT_EQ(log.find("staging-complete"), std::string::npos) << log;
}

TEST(StagingE2E, TheBackgroundFetchHoldsItsCapWithinTenPercent) {
    constexpr uint64_t kKBps = 300;
    StagingSession session(L"", std::to_wstring(kKBps));
    const int64_t age = UnixUtc(2023, 2, 11, 11, 0, 3);
    session.releases->AddRelease(1, session.Release(1, age));
    const auto release2 = session.Release(2, age + 3600, Pseudorandom(3 * 1024 * 1024, 11));
    session.releases->AddRelease(2, release2);
    session.Roll(1765400001, 1, 2);
    const std::filesystem::path object = session.Stored(release2[2].Content);
    std::filesystem::path partial = object;
    partial += ".part";

    ASSERT_NO_FATAL_FAILURE(session.StartAndRefresh());
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(partial); }, 60s)) << session.Log();
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(object); }, 60s)) << session.Log();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    const double rate = static_cast<double>(release2[2].Content.size()) / seconds;
    EXPECT_LE(rate, kKBps * 1024 * 1.10) << seconds << " s";
    EXPECT_GE(rate, kKBps * 1024 * 0.90) << seconds << " s";
}

TEST(StagingE2E, AClickPausesTheBackgroundFetchRunsUncappedAndTheFetchThenContinuesItsPart) {
    constexpr uint64_t kKBps = 128;
    StagingSession session(L"", std::to_wstring(kKBps));
    const int64_t age = UnixUtc(2023, 2, 11, 11, 0, 3);
    // The click's own module is large enough that the cap would hold it for 48 s.
    std::vector<TestReleaseFile> release1 = session.Release(1, age);
    release1[0].Content += Pseudorandom(6 * 1024 * 1024, 5);
    session.releases->AddRelease(1, release1);
    const auto release2 = session.Release(2, age + 3600, Pseudorandom(4 * 1024 * 1024, 13));
    session.releases->AddRelease(2, release2);
    session.Roll(1765400001, 1, 2);
    const std::string& report = release2[2].Content;
    const std::filesystem::path object = session.Stored(report);
    std::filesystem::path partial = object;
    partial += ".part";
    const auto partSize = [&] {
        std::error_code error;
        const uintmax_t size = std::filesystem::file_size(partial, error);
        return error ? uintmax_t{0} : size;
    };

    ASSERT_NO_FATAL_FAILURE(session.StartAndRefresh());
    // A quarter of the report held: the click comes in the middle of the background fetch.
    ASSERT_TRUE(WaitUntil([&] { return partSize() >= report.size() / 4; }, 60s)) << session.Log();
    ASSERT_FALSE(std::filesystem::exists(object));
    const size_t before = session.ModuleStarts();
    SingleClickAt(session.window, kAdmission);
    const auto clicked = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return session.ModuleStarts() > before; }, 60s))
        << "the module did not start";
    const double clickSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - clicked).count();
    CloseWindowsTitled(L"Admission.exe");
    EXPECT_TRUE(session.Holds(release1)) << session.Log();
    const double capSeconds = static_cast<double>(release1[0].Content.size()) / (kKBps * 1024);
    EXPECT_LT(clickSeconds, capSeconds / 4) << "the click's update ran under the background fetch's cap";

    // The fetch continues from its partial file: the round receives each staged byte once, the part
    // held before the click included.
    ASSERT_TRUE(session.Logged("INFO staging ring=piloto", 90s)) << session.Log();
    EXPECT_EQ(ReadTextFile(object), report);
    uint64_t staged = 0;
    for (const auto& file : release2) staged += file.Content.size();
    const std::string log = session.Log();
    EXPECT_NE(log.find(" fetched=3 failed=0 "), std::string::npos) << log;
    EXPECT_NE(log.find(" bytes=" + std::to_string(staged) + " "), std::string::npos) << log;
}

}  // namespace
