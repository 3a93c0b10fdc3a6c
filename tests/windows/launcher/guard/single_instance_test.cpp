// The single-instance guard with real processes: guard_probe.exe, copied into a temporary folder as
// Aurevia.EXE, plays the launcher; the test reads the registries back from the shared memory.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher/guard/instance_registry.h"
#include "launcher/guard/single_instance.h"
#include "base/handles.h"
#include "support/temp_folder.h"

namespace {

using namespace std::chrono_literals;
using test_support::TempFolder;

std::wstring OwnProgram() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring OwnFolder() {
    const std::wstring s = OwnProgram();
    return s.substr(0, s.find_last_of(L'\\') + 1);
}

// A launcher installation: the probe copied as Aurevia.EXE into a folder of its own.
struct Installation {
    TempFolder folder;
    std::wstring exe = folder.Path() + L"Aurevia.EXE";
    Installation() { EXPECT_TRUE(CopyFileW((OwnFolder() + L"guard_probe.exe").c_str(), exe.c_str(), FALSE)); }
};

// One started probe; ended (killed if need be) when it goes out of scope.
class Probe {
  public:
    Probe(const std::wstring& exe, const std::wstring& args,
          const std::map<std::wstring, std::wstring>& env = {})
        : FLog(exe + L"." + std::to_wstring(++Counter()) + L".log") {
        std::wstring commandLine = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
        SetEnvironmentVariableW(L"AUREVIA_PROBE_LOG", FLog.c_str());
        for (const auto& [name, value] : env) SetEnvironmentVariableW(name.c_str(), value.c_str());
        STARTUPINFOW si{};
        si.cb = sizeof si;
        // Under a loaded machine Wine now and then fails a start with ERROR_INTERNAL_ERROR before the
        // process exists; a few tries keep that from reading as a guard fault.
        BOOL ok = FALSE;
        for (int attempt = 0; attempt < 4 && !ok; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(250ms);
            ok = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &si, &FInfo);
        }
        for (const auto& [name, value] : env) SetEnvironmentVariableW(name.c_str(), nullptr);
        SetEnvironmentVariableW(L"AUREVIA_PROBE_LOG", nullptr);
        EXPECT_TRUE(ok) << GetLastError();
        CloseHandle(FInfo.hThread);
    }
    ~Probe() {
        if (FInfo.hProcess) {
            if (WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT) Close();
            TerminateProcess(FInfo.hProcess, 1);
            CloseHandle(FInfo.hProcess);
        }
        DeleteFileW(FLog.c_str());
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    DWORD Pid() const { return FInfo.dwProcessId; }
    HANDLE Process() const { return FInfo.hProcess; }

    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        std::ifstream in{std::filesystem::path(FLog)};
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    bool Logged(const std::string& line) const {
        for (const auto& l : Log())
            if (l == line) return true;
        return false;
    }
    bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout = 20s) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (Logged(line)) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    bool WaitUntilRunning() const { return WaitForLine("passed " + std::to_string(Pid())); }
    // The exit code, or STILL_ACTIVE when it did not end in time.
    DWORD WaitForExit(std::chrono::milliseconds timeout = 20s) const {
        WaitForSingleObject(FInfo.hProcess, static_cast<DWORD>(timeout.count()));
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(FInfo.hProcess, &code);
        return code;
    }
    HWND ApplicationWindow() const {
        std::pair<DWORD, HWND> search{Pid(), nullptr};
        EnumWindows(
            [](HWND wnd, LPARAM lp) -> BOOL {
                auto& s = *reinterpret_cast<std::pair<DWORD, HWND>*>(lp);
                DWORD pid = 0;
                wchar_t cls[64];
                GetWindowThreadProcessId(wnd, &pid);
                if (pid == s.first && GetClassNameW(wnd, cls, 64) &&
                    lstrcmpW(cls, kApplicationWindowClass) == 0) {
                    s.second = wnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.second;
    }
    // Ends it the normal way, through its window.
    DWORD Close() {
        if (const HWND app = ApplicationWindow()) PostMessageW(app, WM_CLOSE, 0, 0);
        return WaitForExit();
    }

  private:
    static int& Counter() {
        static int counter = 0;
        return counter;
    }
    std::wstring FLog;
    PROCESS_INFORMATION FInfo{};
};

struct RegistrySnapshot {
    std::uint16_t limit = 0;
    std::vector<std::uint32_t> pids;
};

// Holds one registry open (which keeps it alive) and reads it back.
class RegistryReader {
  public:
    explicit RegistryReader(const std::wstring& name)
        : FMapping(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str())) {
        if (FMapping) FView.reset(MapViewOfFile(FMapping.get(), FILE_MAP_READ, 0, 0, kInstanceRegistrySize));
    }
    bool Exists() const { return static_cast<bool>(FView); }
    RegistrySnapshot Read() const {
        std::array<std::byte, kInstanceRegistrySize> copy{};
        if (FView) std::memcpy(copy.data(), FView.get(), copy.size());
        InstanceRegistry registry(copy);
        return {registry.Limit(), registry.ProcessIds()};
    }

  private:
    unique_handle FMapping;
    unique_view FView;
};

struct Registries {
    explicit Registries(const std::wstring& exe)
        : names(InstanceObjectNames(InstanceIdentity(exe))),
          all(names.All),
          session(names.Session),
          user(names.User) {}
    TInstanceObjectNames names;
    RegistryReader all, session, user;
};

using Pids = std::vector<std::uint32_t>;

TEST(InstanceIdentity, UpperCasesThePathAndTurnsBackslashesIntoUnderscores) {
    EXPECT_EQ(InstanceIdentity(L"C:\\Aurevia\\Aurevia.EXE"), L"APPINSTC:_AUREVIA_AUREVIA.EXE");
    EXPECT_EQ(InstanceIdentity(L"\\\\srv\\Share\\aurevia.exe"), L"APPINST__SRV_SHARE_AUREVIA.EXE");
    EXPECT_EQ(InstanceIdentity(L"C:\\Ação\\a.exe"), L"APPINSTC:_AÇÃO_A.EXE");
}

TEST(SingleInstanceGuard, FirstStartRegistersInAllThreeRegistriesAndNotifiesItself) {
    Installation install;
    Probe first(install.exe, L"");
    ASSERT_TRUE(first.WaitUntilRunning());
    Registries registries(install.exe);
    ASSERT_TRUE(registries.all.Exists() && registries.session.Exists() && registries.user.Exists());

    const auto all = registries.all.Read();
    EXPECT_EQ(all.limit, kAllInstancesLimit);
    EXPECT_EQ(all.pids, Pids{first.Pid()});
    for (const auto* other : {&registries.session, &registries.user}) {
        const auto snapshot = other->Read();
        EXPECT_EQ(snapshot.limit, 0);  // only the all-instances registry carries a limit
        EXPECT_EQ(snapshot.pids, Pids{first.Pid()});
    }
    EXPECT_TRUE(first.WaitForLine("notice 1 " + std::to_string(first.Pid())));
    EXPECT_EQ(first.Close(), 0u);
}

struct RejectionCase {
    const char* name;
    const wchar_t* args;
    const char* receivedCopy;  // as the probe logs it
};

class SecondStart : public testing::TestWithParam<RejectionCase> {};

TEST_P(SecondStart, EndsWithZeroBringsTheFirstForwardAndHandsItTheCommandLine) {
    Installation install;
    Probe first(install.exe, L"", {{L"AUREVIA_PROBE_MINIMIZE", L"1"}});
    ASSERT_TRUE(first.WaitUntilRunning());
    const HWND firstWindow = first.ApplicationWindow();
    ASSERT_TRUE(IsIconic(firstWindow));

    Probe second(install.exe, GetParam().args);
    EXPECT_EQ(second.WaitForExit(), 0u);
    EXPECT_FALSE(second.Logged("passed " + std::to_string(second.Pid())));

    EXPECT_FALSE(IsIconic(firstWindow));
    EXPECT_EQ(GetForegroundWindow(), firstWindow);
    // Exactly one copy reached the first instance; the second's own guard drops the one to itself.
    const std::string copy = std::string("copy ") + GetParam().receivedCopy;
    int copies = 0;
    for (const auto& line : first.Log()) copies += line.rfind("copy", 0) == 0;
    EXPECT_EQ(copies, 1);
    EXPECT_TRUE(first.Logged(copy)) << "expected: " << copy;
    // The rejected start registered, told the first, then left and told it again.
    EXPECT_TRUE(first.WaitForLine("notice 1 " + std::to_string(second.Pid())));
    EXPECT_TRUE(first.WaitForLine("notice 2 " + std::to_string(second.Pid())));

    Registries registries(install.exe);
    EXPECT_EQ(registries.all.Read().pids, Pids{first.Pid()});
    EXPECT_EQ(registries.session.Read().pids, Pids{first.Pid()});
    EXPECT_EQ(registries.user.Read().pids, Pids{first.Pid()});
    EXPECT_EQ(first.Close(), 0u);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SecondStart,
                         testing::Values(RejectionCase{"NoArguments", L"", ""},
                                         RejectionCase{"TwoArguments", L"alpha \"two words\"",
                                                       "alpha\\r\\ntwo words\\r\\n"},
                                         RejectionCase{"NonAsciiArgument", L"/m=Ação", "/m=Ação\\r\\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SingleInstanceGuard, SecondStartBesideAHungInstanceStillEndsWithoutWaitingForIt) {
    Installation install;
    Probe hung(install.exe, L"", {{L"AUREVIA_PROBE_BUSY", L"60000"}});
    ASSERT_TRUE(hung.WaitUntilRunning());

    Probe second(install.exe, L"x");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(second.WaitForExit(30s), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    EXPECT_FALSE(second.Logged("passed " + std::to_string(second.Pid())));
    EXPECT_EQ(Registries(install.exe).all.Read().pids, Pids{hung.Pid()});
    TerminateProcess(hung.Process(), 1);
}

TEST(SingleInstanceGuard, PathInOtherLetterCaseCountsAsSecondStart) {
    Installation install;
    Probe first(install.exe, L"");
    ASSERT_TRUE(first.WaitUntilRunning());
    std::wstring otherCase = install.exe;
    CharLowerBuffW(otherCase.data(), static_cast<DWORD>(otherCase.size()));
    ASSERT_NE(otherCase, install.exe);

    Probe second(otherCase, L"");
    EXPECT_EQ(second.WaitForExit(), 0u);
    EXPECT_FALSE(second.Logged("passed " + std::to_string(second.Pid())));
}

TEST(SingleInstanceGuard, CopyInAnotherFolderRunsBesideTheFirst) {
    Installation one, two;
    Probe first(one.exe, L"");
    ASSERT_TRUE(first.WaitUntilRunning());
    Probe beside(two.exe, L"");
    ASSERT_TRUE(beside.WaitUntilRunning());

    EXPECT_EQ(Registries(one.exe).all.Read().pids, Pids{first.Pid()});
    EXPECT_EQ(Registries(two.exe).all.Read().pids, Pids{beside.Pid()});
    EXPECT_FALSE(first.Logged("notice 1 " + std::to_string(beside.Pid())));
    EXPECT_EQ(first.Close(), 0u);
    EXPECT_EQ(beside.Close(), 0u);
}

TEST(SingleInstanceGuard, NormalEndLeavesEveryRegistry) {
    Installation install;
    Probe first(install.exe, L"");
    ASSERT_TRUE(first.WaitUntilRunning());
    Registries registries(install.exe);  // keeps the blocks alive past the instance's end
    ASSERT_EQ(first.Close(), 0u);

    EXPECT_TRUE(first.Logged("ending"));
    EXPECT_EQ(registries.all.Read().pids, Pids{});
    EXPECT_EQ(registries.session.Read().pids, Pids{});
    EXPECT_EQ(registries.user.Read().pids, Pids{});
}

// Each case leaves an older instance running in a state that must not reject the next start.
struct NotBlockingCase {
    const char* name;
    std::map<std::wstring, std::wstring> firstEnv;
    bool killFirst;
    bool firstStaysRegistered;
};

class NextStartGoesOn : public testing::TestWithParam<NotBlockingCase> {};

TEST_P(NextStartGoesOn, AndOnlyLiveRegisteredInstancesRemain) {
    Installation install;
    Probe first(install.exe, L"", GetParam().firstEnv);
    ASSERT_TRUE(first.WaitUntilRunning());
    Registries registries(install.exe);
    if (GetParam().killFirst) {
        TerminateProcess(first.Process(), 9);
        first.WaitForExit();
    }

    Probe next(install.exe, L"");
    ASSERT_TRUE(next.WaitUntilRunning());
    const Pids expected = GetParam().firstStaysRegistered ? Pids{first.Pid(), next.Pid()} : Pids{next.Pid()};
    EXPECT_EQ(registries.all.Read().pids, expected);
    EXPECT_EQ(registries.session.Read().pids, expected);
    EXPECT_EQ(registries.user.Read().pids, expected);
}

INSTANTIATE_TEST_SUITE_P(
    OlderInstances, NextStartGoesOn,
    testing::Values(NotBlockingCase{"Killed", {}, true, false},
                    NotBlockingCase{"LeftEarly", {{L"AUREVIA_PROBE_LEAVE", L"1"}}, false, false},
                    NotBlockingCase{"GuardInactive", {{L"AUREVIA_PROBE_INACTIVE", L"1"}}, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// In this process: the guard window's answers, seen from a window of our own.
class Recorder {
  public:
    Recorder() {
        WNDCLASSEXW cls{};
        cls.cbSize = sizeof cls;
        cls.lpfnWndProc = [](HWND wnd, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
            if (auto* self = reinterpret_cast<Recorder*>(GetWindowLongPtrW(wnd, GWLP_USERDATA))) {
                if (msg == self->FWatch) self->Received.emplace_back(wp, lp);
            }
            return DefWindowProcW(wnd, msg, wp, lp);
        };
        cls.hInstance = GetModuleHandleW(nullptr);
        cls.lpszClassName = L"GuardTestRecorder";
        RegisterClassExW(&cls);
        FWnd.reset(CreateWindowExW(0, cls.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                   cls.hInstance, nullptr));
        SetWindowLongPtrW(FWnd.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    void Watch(UINT msg) { FWatch = msg; }
    HWND Handle() const { return FWnd.get(); }
    std::vector<std::pair<WPARAM, LPARAM>> Received;

  private:
    UINT FWatch = 0;
    unique_hwnd FWnd;
};

TEST(GuardWindow, AnswersQueriesWithItsActiveFlagAndTakesCommandLineCopies) {
    TSingleInstance guard(GetModuleHandleW(nullptr));
    guard.Check();  // the only instance of the test program: returns
    EXPECT_EQ(Registries(OwnProgram()).all.Read().pids, Pids{GetCurrentProcessId()});
    const HWND wnd = guard.Handle();
    ASSERT_TRUE(IsWindow(wnd));
    wchar_t cls[64];
    GetClassNameW(wnd, cls, 64);
    EXPECT_STREQ(cls, kGuardWindowClass);
    EXPECT_FALSE(IsWindowVisible(wnd));
    EXPECT_TRUE(GetWindowLongPtrW(wnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(GetWindowLongPtrW(wnd, GWL_STYLE) & WS_POPUP);

    const UINT msg = RegisterWindowMessageW(InstanceObjectNames(CurrentInstanceIdentity()).Message.c_str());
    Recorder asker;
    asker.Watch(msg);
    const auto query = static_cast<WPARAM>(GuardNotice::QueryActive);
    const auto answer = static_cast<WPARAM>(GuardNotice::AnswerActive);
    SendMessageW(wnd, msg, query, reinterpret_cast<LPARAM>(asker.Handle()));
    SendMessageW(wnd, msg, answer, 0);  // told that another guard is inactive: so is this one
    EXPECT_FALSE(guard.Active());
    SendMessageW(wnd, msg, query, reinterpret_cast<LPARAM>(asker.Handle()));
    using Answers = std::vector<std::pair<WPARAM, LPARAM>>;
    EXPECT_EQ(asker.Received, (Answers{{answer, 1}, {answer, 0}}));
    SendMessageW(wnd, msg, answer, 1);
    EXPECT_TRUE(guard.Active());

    std::vector<std::wstring> copies;
    guard.SetCommandLineHandler([&](std::wstring_view text) { copies.emplace_back(text); });
    std::wstring text = L"a\r\nb c\r\n";
    COPYDATASTRUCT copy{kCopyDataCommandLine, static_cast<DWORD>(text.size() * sizeof(wchar_t)), text.data()};
    EXPECT_EQ(SendMessageW(wnd, WM_COPYDATA, reinterpret_cast<WPARAM>(asker.Handle()),
                           reinterpret_cast<LPARAM>(&copy)),
              1);
    EXPECT_EQ(SendMessageW(wnd, WM_COPYDATA, reinterpret_cast<WPARAM>(wnd), reinterpret_cast<LPARAM>(&copy)),
              0);
    COPYDATASTRUCT empty{kCopyDataCommandLine, 0, nullptr};
    EXPECT_EQ(SendMessageW(wnd, WM_COPYDATA, reinterpret_cast<WPARAM>(asker.Handle()),
                           reinterpret_cast<LPARAM>(&empty)),
              1);
    EXPECT_EQ(copies, (std::vector<std::wstring>{text, L""}));
}

// Runs after the test above, whose guard registered this process and left when it was destroyed.
TEST(GuardWindow, ProcessThatLeftIsNotRegisteredAgainByALaterGuard) {
    Registries registries(OwnProgram());
    ASSERT_TRUE(registries.all.Exists());
    EXPECT_EQ(registries.all.Read().pids, Pids{});
    LeaveInstanceRegistries();
    TSingleInstance later(GetModuleHandleW(nullptr));
    EXPECT_EQ(registries.all.Read().pids, Pids{});
}

}  // namespace
