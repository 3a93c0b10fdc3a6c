// The click after a release is switched on, over a slow link, with and without staging. Under Wine,
// the real launcher in URL mode behind a throttled file service (bench/staging/staged_click.sh starts
// both), one fresh installation per run:
//   noop      a click whose module is current (the update fetches nothing): the peer
//   staged    the click after switching to a release the background fetch already brought in
//   unstaged  the click after switching to a release of the same size that was never staged
// and, in the same run, the background fetch itself: its rate uncapped (the link's) and under
// [Rede] Max KBps, with the launcher's CPU time and working set meanwhile. Prints one line per run:
//   noop=<ms> staged=<ms> unstaged=<ms> fetch_Bps=<n> cap_Bps=<n> capped_Bps=<n>
//   cpu_fetch=<%> cpu_capped=<%> ws_idle_kb=<n> ws_fetch_kb=<n> ws_capped_kb=<n>
// A failed step prints "failed=<step>" and ends the run.
//   bench_staged_click.exe RUNS
// Environment: AUREVIA_E2E_LAUNCHER, AUREVIA_E2E_DEMO_MODULE (the programs), BENCH_URL (the throttled
// service), BENCH_SERVER (the served folder, Windows path ending in "\"), BENCH_MB (the big release's
// added megabytes, default 50), BENCH_CAP_KBPS (default 300), BENCH_CAP_MB (default 6).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "harness.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"

using namespace e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel
constexpr int64_t kMonth = 30 * 86400;

std::wstring Env(const wchar_t* AName, const wchar_t* ADefault = L"") {
    wchar_t value[1024] = {};
    return GetEnvironmentVariableW(AName, value, 1024) ? value : ADefault;
}

double Seconds(LARGE_INTEGER AFrom, LARGE_INTEGER ATo) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ATo.QuadPart - AFrom.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

std::string Pseudorandom(size_t ASize, uint32_t ASeed) {
    std::string bytes(ASize, '\0');
    for (char& c : bytes) {
        ASeed = ASeed * 1664525u + 1013904223u;
        c = static_cast<char>(ASeed >> 24);
    }
    return bytes;
}

INPUT Mouse(DWORD AFlags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = AFlags;
    return input;
}

bool ModuleWindowShown() {
    for (HWND w : TopLevelWindows(0, L"AureviaDemoModule"))
        if (IsWindowVisible(w) && CaptionOf(w) == L"Admission.exe") return true;
    return false;
}

// The launcher's CPU time (user + kernel) and working set, as Windows reports them for it.
struct Usage {
    double cpuSeconds = 0;
    size_t workingSetKB = 0;
};
Usage UsageOf(HANDLE AProcess) {
    Usage usage;
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(AProcess, &created, &exited, &kernel, &user)) {
        const auto ticks = [](FILETIME t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        usage.cpuSeconds = static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    if (GetProcessMemoryInfo(AProcess, &memory, sizeof(memory)))
        usage.workingSetKB = memory.WorkingSetSize / 1024;
    return usage;
}

struct Run {
    TestPublisher publisher;
    std::wstring serverFolder = Env(L"BENCH_SERVER");
    TestReleaseServer releases{publisher, serverFolder};
    Installation installation;
    TempFolder scratch;
    std::unique_ptr<Process> launcher;
    HANDLE launcherHandle = nullptr;
    HWND window = nullptr;
    std::string module = ReadTextFile(BuiltDemoModule());
    inline static uint64_t rolloutSerial = 0;

    explicit Run(const std::wstring& AMaxKBps = L"") {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Manifesto");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Distribuicao");
        if (!rolloutSerial) rolloutSerial = static_cast<uint64_t>(UnixNowPlus(0));
        installation.WriteIni(L"", Env(L"BENCH_URL"));
        SetMaxKBps(AMaxKBps);
        const std::wstring ini = (installation / L"Aurevia.ini").wstring();
        WritePrivateProfileStringW(L"Seguranca", L"Chave Publica", publisher.PublicKeyText().c_str(),
                                   ini.c_str());
        WritePrivateProfileStringW(L"Seguranca", L"Anel", L"piloto", ini.c_str());
        SetEnvironmentVariableW(L"LOCALAPPDATA", scratch.Path().wstring().c_str());
    }
    ~Run() {
        CloseWindowsTitled(L"Admission.exe");
        Quit();
    }
    void SetMaxKBps(const std::wstring& AValue) const {
        WritePrivateProfileStringW(L"Rede", L"Max KBps", AValue.empty() ? nullptr : AValue.c_str(),
                                   (installation / L"Aurevia.ini").wstring().c_str());
    }
    std::string AddModuleRelease(uint64_t ASerial, const std::string& ATail) const {
        const std::string content = module + ATail;
        releases.AddRelease(ASerial,
                            {{"Admission.exe", content, UnixUtc(2023, 2, 11, 11, 0, 0) + int64_t(ASerial)}});
        return content;
    }
    void Roll(uint64_t ATakes, uint64_t AStages = 0) const {
        TRingAssignment pilot{"piloto", ATakes, {}, 100};
        if (AStages) {
            pilot.Staged = AStages;
            pilot.StagedSha256 = OneShotSha256(
                ReadTextFile(serverFolder + L"aurevia-releases\\" + std::to_wstring(AStages) + L".json"));
        }
        releases.SetRollout(TRollout{++rolloutSerial, UnixNowPlus(kMonth), {pilot}});
    }
    std::string Log() const { return ReadTextFile(scratch / L"Aurevia\\Aurevia.log"); }
    std::filesystem::path Stored(const std::string& AContent) const {
        return installation / L"aurevia-cache" /
               std::filesystem::path(releases.ObjectFile(AContent)).filename();
    }
    bool Start() {
        launcher =
            std::make_unique<Process>(installation.Exe().wstring(), L"", installation.Path().wstring());
        launcherHandle = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, launcher->Id());
        window = WaitForMenuWindow(launcher->Id());
        if (!window || !WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 15s)) return false;
        return WaitForCaption(
                   window,
                   [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; },
                   60s)
                   .find(L"Tempo do update") != std::wstring::npos;
    }
    void Quit() {
        if (launcherHandle) CloseHandle(launcherHandle);
        launcherHandle = nullptr;
        if (!launcher || !launcher->Running()) return;
        for (int attempt = 0; attempt < 2 && launcher->Running(); ++attempt) {
            QuitThroughTrayMenu(window);
            launcher->WaitForExit(5s);
        }
        launcher->Kill();
        launcher->WaitForExit(5s);
    }
    // A click on the module's tile: seconds from the button's release to the module's window, or -1.
    double TimeClick() const {
        Sleep(GetDoubleClickTime() + 100);
        SetForegroundWindow(window);
        POINT screen = kAdmission;
        ClientToScreen(window, &screen);
        SetCursorPos(screen.x, screen.y);
        Sleep(30);
        INPUT down = Mouse(MOUSEEVENTF_LEFTDOWN), up = Mouse(MOUSEEVENTF_LEFTUP);
        SendInput(1, &down, sizeof(INPUT));
        Sleep(30);
        const LARGE_INTEGER start = Now();
        SendInput(1, &up, sizeof(INPUT));
        bool shown = false;
        for (int i = 0; i < 300000 && !(shown = ModuleWindowShown()); ++i) Sleep(1);
        const LARGE_INTEGER end = Now();
        CloseWindowsTitled(L"Admission.exe");
        WaitUntil([] { return TopLevelWindows(0, L"AureviaDemoModule").empty(); }, 10s);
        return shown ? Seconds(start, end) : -1;
    }
    // Under Wine an ended module's image stays mapped a moment; a switch replaces it.
    bool WaitModuleReplaceable() const {
        return WaitUntil(
            [&] {
                HANDLE probe = CreateFileW((installation / L"Admission.exe").c_str(), DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
                if (probe == INVALID_HANDLE_VALUE) return false;
                CloseHandle(probe);
                return true;
            },
            15s);
    }
    // Times the background fetch of AContent from its first byte in the store to the whole object;
    // the launcher's CPU share and largest working set meanwhile.
    struct Fetch {
        double bytesPerSecond = -1, cpuPercent = -1;
        size_t workingSetKB = 0;
    };
    Fetch TimeBackgroundFetch(const std::string& AContent) const {
        Fetch fetch;
        const std::filesystem::path object = Stored(AContent);
        std::filesystem::path partial = object;
        partial += ".part";
        if (!WaitUntil([&] { return std::filesystem::exists(partial) || std::filesystem::exists(object); },
                       60s))
            return fetch;
        const LARGE_INTEGER start = Now();
        const Usage before = UsageOf(launcherHandle);
        size_t peak = before.workingSetKB;
        bool whole = false;
        for (int i = 0; i < 6000 && !(whole = std::filesystem::exists(object)); ++i) {
            Sleep(50);
            peak = std::max(peak, UsageOf(launcherHandle).workingSetKB);
        }
        const LARGE_INTEGER end = Now();
        if (!whole) return fetch;
        const double seconds = Seconds(start, end);
        fetch.bytesPerSecond = static_cast<double>(AContent.size()) / seconds;
        fetch.cpuPercent = 100.0 * (UsageOf(launcherHandle).cpuSeconds - before.cpuSeconds) / seconds;
        fetch.workingSetKB = peak;
        return fetch;
    }
};

void Fail(const char* AStep) {
    std::printf("failed=%s\n", AStep);
    std::fflush(stdout);
}

void OneRun(int ARun) {
    const size_t bigMB = static_cast<size_t>(_wtoi(Env(L"BENCH_MB", L"50").c_str()));
    const size_t capMB = static_cast<size_t>(_wtoi(Env(L"BENCH_CAP_MB", L"6").c_str()));
    const std::wstring capKBps = Env(L"BENCH_CAP_KBPS", L"300");
    Run run;
    // Every run gets releases of its own, so no object is already on the server or in a store.
    static const uint64_t epoch = static_cast<uint64_t>(UnixNowPlus(0)) % 1000000;
    const uint64_t base = epoch * 100 + 10 * static_cast<uint64_t>(ARun);
    const auto seed = static_cast<uint32_t>(base);
    run.AddModuleRelease(base + 1, "small " + std::to_string(base));
    const std::string staged = run.AddModuleRelease(base + 2, Pseudorandom(bigMB << 20, seed + 2));
    run.AddModuleRelease(base + 3, Pseudorandom(bigMB << 20, seed + 3));
    const std::string capped = run.AddModuleRelease(base + 4, Pseudorandom(capMB << 20, seed + 4));

    run.Roll(base + 1);
    if (!run.Start()) return Fail("start");
    if (run.TimeClick() < 0) return Fail("first-click");
    const double noop = run.TimeClick();
    if (noop < 0) return Fail("noop-click");
    const size_t idleKB = UsageOf(run.launcherHandle).workingSetKB;
    run.Quit();

    // Staged, then fetched in the background at the link's speed (no cap).
    run.Roll(base + 1, base + 2);
    if (!run.WaitModuleReplaceable() || !run.Start()) return Fail("staged-start");
    const Run::Fetch uncapped = run.TimeBackgroundFetch(staged);
    if (uncapped.bytesPerSecond < 0) return Fail("background-fetch");
    const std::string complete = "staging-complete ring=piloto staged=" + std::to_string(base + 2);
    if (!WaitUntil([&] { return run.Log().find(complete) != std::string::npos; }, 60s))
        return Fail("complete");
    run.Roll(base + 2);
    const double stagedClick = run.TimeClick();
    if (stagedClick < 0) return Fail("staged-click");

    // The same size, never staged: the click waits for every byte.
    run.Roll(base + 3);
    if (!run.WaitModuleReplaceable()) return Fail("replaceable");
    const double unstagedClick = run.TimeClick();
    if (unstagedClick < 0) return Fail("unstaged-click");
    run.Quit();

    // The background fetch under its cap.
    run.SetMaxKBps(capKBps);
    run.Roll(base + 3, base + 4);
    if (!run.Start()) return Fail("capped-start");
    const Run::Fetch underCap = run.TimeBackgroundFetch(capped);
    if (underCap.bytesPerSecond < 0) return Fail("capped-fetch");
    run.Quit();

    std::printf(
        "noop=%.0f staged=%.0f unstaged=%.0f fetch_Bps=%.0f cap_Bps=%d capped_Bps=%.0f cpu_fetch=%.1f "
        "cpu_capped=%.1f ws_idle_kb=%zu ws_fetch_kb=%zu ws_capped_kb=%zu\n",
        noop * 1000, stagedClick * 1000, unstagedClick * 1000, uncapped.bytesPerSecond,
        _wtoi(capKBps.c_str()) * 1024, underCap.bytesPerSecond, uncapped.cpuPercent, underCap.cpuPercent,
        idleKB, uncapped.workingSetKB, underCap.workingSetKB);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? _wtoi(argv[1]) : 3;
    for (int run = 0; run < runs; ++run) OneRun(run);
    return 0;
}
