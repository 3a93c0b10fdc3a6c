// The real Aurevia.EXE against file services that send too much, too little, too slowly or nonsense.
// Each row scripts one such service; Aurevia.ini's "Limites" are short, so a row takes seconds. What
// the user and IT get is one bounded message (the error box for a listing, the log for a fetch); the
// module already installed starts when only its fetch failed, and nothing half-written stays behind.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <atomic>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include "base/string_convert.h"
#include "harness.h"
#include "support/scripted_server.h"

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel
const std::wregex kElapsedCaption(L"^Aurevia Tempo do update : .*$");

// A listing above 1 MB fails; fewer than 1024 bytes within 2 s fail a body; an update ends by 6 s.
// (A section's keys, each ended by a NUL, the list by another.)
const wchar_t kLimits[] = L"Lista MB=1\0Minimo Bytes=1024\0Minimo Segundos=2\0Prazo Segundos=6\0";

// The listing every download row serves: the module the test clicks, newer than the installed one.
const char kListing[] = R"([{"FileName":"Admission.exe","Age":"2030-03-01T08:00:00.000"}])";

std::string Head(const std::string& status, const std::string& headers) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n";
}

void ServeListing(SOCKET c, const ReceivedRequest&) {
    ScriptedServer::Send(
        c, ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Type: application/json\r\n", kListing));
}

// Sends `head`, then one byte every `gap` until the peer has gone or `count` bytes went out.
void Trickle(SOCKET c, const std::string& head, int count, std::chrono::milliseconds gap) {
    ScriptedServer::Send(c, head);
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(gap);
        if (send(c, "x", 1, 0) != 1) return;
    }
}

size_t PeakWorkingSetMB(DWORD AProcessId) {
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, AProcessId);
    if (!process) return 0;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(process, &counters, sizeof(counters));
    CloseHandle(process);
    return counters.PeakWorkingSetSize >> 20;
}

// A launcher installation whose "url" is a scripted service; the installed Admission.exe is the
// stand-in module, and modules log their starts into one file.
class LauncherAgainstScriptedService : public testing::Test {
  protected:
    Installation install;
    TempFolder emptyServerFolder, appData, scratch;
    ScriptedServer server;
    std::unique_ptr<Process> launcher;
    HWND window = nullptr;

    void SetUp() override {
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
        SetEnvironmentVariableW(L"LOCALAPPDATA", appData.Path().wstring().c_str());
        ASSERT_TRUE(CopyFileW(BuiltDemoModule().c_str(), (install / L"Admission.exe").c_str(), FALSE))
            << "demo-module.exe built?";
        install.WriteIni(emptyServerFolder.Path().wstring(), server.BaseURL());
        ASSERT_TRUE(WritePrivateProfileSectionW(L"Limites", kLimits, (install / L"Aurevia.ini").c_str()));
    }
    void TearDown() override {
        // A module left running would hold the test's output open.
        if (ModuleStarted()) {
            WaitForWindow(0, L"Admission.exe", 10s);
            CloseWindowsTitled(L"Admission.exe");
            WaitUntil([] { return FindWindowW(nullptr, L"Admission.exe") == nullptr; }, 10s);
        }
        if (launcher && launcher->Running() && window) {
            QuitThroughTrayMenu(window);
            launcher->WaitForExit(10s);
        }
        if (HasFailure()) std::cerr << "IT log:\n" << Log() << "\n";
    }
    void Start() {
        launcher = std::make_unique<Process>(install.Exe().wstring(), L"", install.Path().wstring());
        window = WaitForMenuWindow(launcher->Id());
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 15s));
    }
    bool Refreshed() const { return std::regex_match(CaptionOf(window), kElapsedCaption); }
    std::string Log() const { return ReadTextFile(appData / L"Aurevia\\Aurevia.log"); }
    bool ModuleStarted() const {
        return ReadTextFile(scratch / L"modules.log").find("Admission.exe") != std::string::npos;
    }
    size_t Downloads() const {
        size_t count = 0;
        for (const ReceivedRequest& r : server.Requests())
            if (r.Target().rfind("/download", 0) == 0) ++count;
        return count;
    }
    // Files in the installation other than what the test put there (the launcher makes the report
    // folder itself).
    std::vector<std::wstring> Leftovers() const {
        std::vector<std::wstring> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(install.Path())) {
            const std::wstring name = entry.path().filename().wstring();
            if (entry.is_regular_file() && name != L"Aurevia.EXE" && name != L"Aurevia.ini" &&
                name != L"Admission.exe")
                names.push_back(name);
        }
        return names;
    }
    // The error box of the launcher: its text, once answered; empty when none came within ATimeout.
    std::wstring AnswerErrorBox(Millis ATimeout) const {
        HWND box = WaitForDialog(L"Aurevia", ATimeout);
        if (!box) return {};
        const std::wstring text = DialogText(box);
        AnswerWithEnter(box);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 5s));
        return text;
    }
};

enum class Where { Box, Log };

struct HostileRow {
    const char* name;
    // The service's answer to the listing, and to a download.
    ScriptedServer::Reply listing;
    ScriptedServer::Reply download;
    // Where the failure shows (a listing fails the update with the error box, a fetch only its file),
    // and a part of its text.
    Where where;
    const char* text;
};

void PrintTo(const HostileRow& ARow, std::ostream* AOut) { *AOut << ARow.name; }

class HostileService : public LauncherAgainstScriptedService,
                       public testing::WithParamInterface<HostileRow> {};

TEST_P(HostileService, CostsOneBoundedMessageAndNeitherMemoryNorTheInstalledModule) {
    const HostileRow& row = GetParam();
    server.On("/folderlist", row.listing);
    server.On("/download", row.download);
    const std::string module = ReadTextFile(install / L"Admission.exe");
    ASSERT_NO_FATAL_FAILURE(Start());

    if (row.where == Where::Box) {
        // The start-up refresh lists first: the box comes at once, and nothing is fetched.
        const std::wstring text = AnswerErrorBox(30s);
        ASSERT_FALSE(text.empty()) << "no error box";
        EXPECT_NE(text.find(Utf8ToWide(row.text)), std::wstring::npos) << WideToUtf8(text.substr(0, 500));
        EXPECT_LE(text.size(), 400u) << "the box carries a few hundred characters, whatever the body held";
        EXPECT_FALSE(Refreshed());
    } else {
        ASSERT_TRUE(WaitUntil([&] { return Refreshed(); }, 30s)) << "the listing is sound: the refresh ends";
    }

    // A click updates the module first. A failed listing fails the click as it failed the refresh, and
    // no module starts; a failed fetch keeps the installed module, which then starts.
    const auto clicked = Clock::now();
    ClickAt(window, kAdmission);
    if (row.where == Where::Box) {
        EXPECT_NE(AnswerErrorBox(30s).find(Utf8ToWide(row.text)), std::wstring::npos);
        Sleep(1000);
        EXPECT_FALSE(ModuleStarted());
        EXPECT_EQ(Downloads(), 0u) << "a failed listing fetches nothing";
    } else {
        ASSERT_TRUE(WaitUntil([&] { return ModuleStarted(); }, 40s)) << "the installed module did not start";
        ASSERT_NE(WaitForWindow(0, L"Admission.exe"), nullptr);
        // Loose: only a hang fails here (the limits above end every row within about 10 s).
        EXPECT_LT(Clock::now() - clicked, 30s);
        EXPECT_GE(Downloads(), 1u);
        const std::string log = Log();
        const std::regex failed(
            "WARN fetch-failed module=Admission.exe file=Admission.exe reason=([^\r\n]*)");
        std::smatch match;
        ASSERT_TRUE(std::regex_search(log, match, failed)) << "no failed fetch in the log";
        EXPECT_NE(match[1].str().find(row.text), std::string::npos) << match[1].str().substr(0, 500);
    }
    EXPECT_EQ(ReadTextFile(install / L"Admission.exe"), module)
        << "the installed module is whole and unchanged";
    EXPECT_TRUE(Leftovers().empty()) << WideToUtf8(Leftovers().front());

    // What IT reads stays a line of a few hundred characters, whatever the server sent.
    std::istringstream lines(Log());
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 700u) << line.substr(0, 200);
    // The services send hundreds of megabytes; the launcher holds a bounded part of them.
    const size_t peak = PeakWorkingSetMB(launcher->Id());
    EXPECT_GT(peak, 0u) << "the launcher's memory could not be read";
    EXPECT_LT(peak, 150u);
}

const HostileRow kRows[] = {
    {"ListingPastTheCap",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::SendWithoutEnd(c, Head("200 OK", "Content-Type: application/json\r\n"), 300u << 20);
     },
     nullptr, Where::Box, "A lista de arquivos do servidor passa de 1 MB"},
    {"ListingAnnouncingAnAbsurdLength",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(
             c,
             Head("200 OK", "Content-Type: application/json\r\nContent-Length: 99999999999999\r\n") + "[]");
     },
     nullptr, Where::Box, "nenhum arquivo foi baixado"},
    {"ListingErrorOfMegabytes",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::SendWithoutEnd(c, Head("500 Internal Server Error", "Content-Type: text/plain\r\n"),
                                        200u << 20);
     },
     nullptr, Where::Box, "500"},
    {"ListingHeadThatTrickles",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, "HTTP/1.1 200 OK\r\nX-Slow: ");
         // 12 s: past the deadline, and over before the click's listing has waited as long.
         Trickle(c, "", 48, 250ms);
     },
     nullptr, Where::Box, "terminou em 6 s"},
    {"DownloadThatTrickles", ServeListing,
     [](SOCKET c, const ReceivedRequest&) {
         Trickle(c, Head("200 OK", "Content-Length: 100000\r\n"), 200, 250ms);
     },
     Where::Log, "menos de 1024 bytes em 2 s"},
    {"DownloadSteadyButPastTheDeadline", ServeListing,
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, Head("200 OK", "Content-Length: 10000000\r\n"));
         const std::string piece(2048, 'y');
         for (int i = 0; i < 1000; ++i) {
             std::this_thread::sleep_for(100ms);
             if (send(c, piece.data(), static_cast<int>(piece.size()), 0) <= 0) return;
         }
     },
     Where::Log, "terminou em 6 s"},
    {"DownloadErrorOfMegabytes", ServeListing,
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::SendWithoutEnd(c, Head("404 Not Found", "Content-Type: text/plain\r\n"), 200u << 20);
     },
     Where::Log, "xxxxxxxxxx"},
    {"DownloadWithANegativeLength", ServeListing,
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, Head("200 OK", "Content-Length: -1\r\n") + "abc");
     },
     Where::Log, "REST request failed"},
};

INSTANTIATE_TEST_SUITE_P(Table, HostileService, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The start-up refresh waits out a 503 on the UI thread. Meanwhile the menu window answers within a
// second and repaints, as it does at any other time, so Windows never marks it "Not responding".
TEST_F(LauncherAgainstScriptedService, WaitingOutABusyServiceKeepsTheWindowAnsweringAndPainting) {
    std::atomic<int> listings{0};
    server.On("/folderlist", [&](SOCKET c, const ReceivedRequest& r) {
        if (listings++ == 0)
            ScriptedServer::Send(c, ScriptedServer::Response("HTTP/1.1 503 Service Unavailable",
                                                             "Retry-After: 3\r\n", "busy"));
        else
            ServeListing(c, r);
    });
    server.On("/download", [](SOCKET c, const ReceivedRequest&) {
        ScriptedServer::Send(c, ScriptedServer::Response("HTTP/1.1 404 Not Found", "", "no such file"));
    });
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(WaitUntil([&] { return listings > 0; }, 15s)) << "the refresh did not list";
    Sleep(300);  // into the wait

    int answered = 0, late = 0, painted = 0, unpainted = 0;
    bool panelUp = false;
    const auto waitStart = Clock::now();
    while (listings < 2 && Clock::now() - waitStart < 10s) {
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
        const auto asked = Clock::now();
        DWORD_PTR result = 0;
        const bool ok = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
        // Only while the wait lasts: the requests themselves hold the thread as they always have.
        if (listings >= 2) break;
        (ok && Clock::now() - asked < 1s ? answered : late)++;
        (WaitUntil([&] { return GetUpdateRect(window, nullptr, FALSE) == FALSE; }, 1s) ? painted
                                                                                       : unpainted)++;
        panelUp = panelUp || BusyPanelVisible(window);
        Sleep(150);
    }
    std::cout << "during the wait: " << answered << " answered, " << painted << " repainted\n";
    EXPECT_GE(Clock::now() - waitStart, 2s) << "the Retry-After was not waited out";
    EXPECT_GE(answered, 4);
    EXPECT_EQ(late, 0);
    EXPECT_GE(painted, 4);
    EXPECT_EQ(unpainted, 0);
    EXPECT_TRUE(panelUp) << "the busy panel stays up during the wait";
    ASSERT_TRUE(WaitUntil([&] { return Refreshed(); }, 15s)) << "the refresh did not end after the wait";
    EXPECT_EQ(listings.load(), 2);
}

}  // namespace
