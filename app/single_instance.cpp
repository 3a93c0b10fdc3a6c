#include "app/single_instance.h"

#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "app/instance_registry.h"
#include "app/program_path.h"
#include "base/handles.h"

namespace {

// How long the guard waits for another instance's UI thread to handle a query, an answer or the
// command-line copy. An instance that hangs must not also hang every later start.
constexpr UINT kSendTimeoutMs = 5000;
// How long a start or end notice keeps retrying to reach a thread that has no message queue yet.
constexpr int kPostRetries = 2000;

std::wstring FileNamePart(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

std::wstring SessionSuffix() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return L"_Session_" + std::to_wstring(session);
}

std::wstring UserSuffix() {
    std::wstring name, domain;
    HANDLE raw = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        unique_handle token(raw);
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        if (size && GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
            const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
            DWORD nameLen = 0, domainLen = 0;
            SID_NAME_USE use;
            LookupAccountSidW(nullptr, user->User.Sid, nullptr, &nameLen, nullptr, &domainLen, &use);
            name.resize(nameLen);
            domain.resize(domainLen);
            if (nameLen && LookupAccountSidW(nullptr, user->User.Sid, name.data(), &nameLen, domain.data(),
                                             &domainLen, &use)) {
                name.resize(nameLen);
                domain.resize(domainLen);
            } else {
                name.clear();
                domain.clear();
            }
        }
    }
    if (name.empty()) {
        DWORD len = 257;
        name.resize(len);
        if (GetUserNameW(name.data(), &len))
            name.resize(len ? len - 1 : 0);
        else
            name.clear();
    }
    return L"_User_" + name + L"_" + domain;
}

// Every account may read and write the registries and take the lock: instances of one executable
// can run under different accounts on a shared workstation.
class EveryoneSecurity {
  public:
    EveryoneSecurity() {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GRGWGX;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)",
                                                             SDDL_REVISION_1, &FDescriptor, nullptr);
        FAttributes.nLength = sizeof FAttributes;
        FAttributes.lpSecurityDescriptor = FDescriptor;
        FAttributes.bInheritHandle = FALSE;
    }
    ~EveryoneSecurity() { LocalFree(FDescriptor); }
    EveryoneSecurity(const EveryoneSecurity&) = delete;
    EveryoneSecurity& operator=(const EveryoneSecurity&) = delete;
    SECURITY_ATTRIBUTES* get() { return FDescriptor ? &FAttributes : nullptr; }

  private:
    PSECURITY_DESCRIPTOR FDescriptor = nullptr;
    SECURITY_ATTRIBUTES FAttributes{};
};

class SharedRegistry {
  public:
    bool Open(const std::wstring& name, EveryoneSecurity& security) {
        // A new section is zero-filled by the system, which is the empty registry.
        FMapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0,
                                          kInstanceRegistrySize, name.c_str()));
        if (!FMapping && GetLastError() == ERROR_ACCESS_DENIED)
            FMapping.reset(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
        if (!FMapping) return false;
        FView.reset(
            MapViewOfFile(FMapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kInstanceRegistrySize));
        return static_cast<bool>(FView);
    }
    InstanceRegistry Registry() const {
        return InstanceRegistry(
            InstanceRegistryBytes(static_cast<std::byte*>(FView.get()), kInstanceRegistrySize));
    }

  private:
    unique_handle FMapping;
    unique_view FView;
};

class LockHolder {
  public:
    explicit LockHolder(HANDLE mutex) : FMutex(mutex) {
        // An owner that died while holding the lock leaves it abandoned; the registries are still
        // consistent enough (each change is a few word writes), and dead entries get swept.
        const DWORD r = WaitForSingleObject(FMutex, INFINITE);
        FHeld = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    ~LockHolder() {
        if (FHeld) ReleaseMutex(FMutex);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

  private:
    HANDLE FMutex;
    bool FHeld = false;
};

// An entry whose process has ended is left behind when an instance crashes while another process
// keeps the registry alive. A reused identifier now naming some other program counts as dead too.
bool IsDeadInstance(std::uint32_t pid, const std::wstring& ownFileName) {
    if (pid == GetCurrentProcessId()) return false;
    unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // access denied: alive elsewhere
    if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return true;
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) return false;
    image.resize(size);
    return !SameTextIgnoringCase(FileNamePart(image), ownFileName);
}

HWND FindApplicationWindow(DWORD pid) {
    struct Search {
        DWORD pid;
        HWND found;
    } search{pid, nullptr};
    EnumWindows(
        [](HWND wnd, LPARAM lp) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(lp);
            DWORD owner = 0;
            GetWindowThreadProcessId(wnd, &owner);
            if (owner != s.pid) return TRUE;
            wchar_t cls[64];
            if (GetClassNameW(wnd, cls, 64) && lstrcmpW(cls, kApplicationWindowClass) == 0) {
                s.found = wnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> ThreadWindows(DWORD tid) {
    std::vector<HWND> windows;
    EnumThreadWindows(
        tid,
        [](HWND wnd, LPARAM lp) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(lp)->push_back(wnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// Sends and waits for the receiving thread to handle it; false when it did not within the timeout
// (a busy or hung instance) or the window is gone.
bool SendAndWait(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(wnd, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, kSendTimeoutMs,
                               &ignored) != 0;
}

bool ThreadExists(DWORD tid) {
    unique_handle thread(OpenThread(SYNCHRONIZE, FALSE, tid));
    if (!thread) return GetLastError() == ERROR_ACCESS_DENIED;
    return WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
}

// Posted to the thread of the instance's application window (retried while the thread lives but
// cannot take it yet) and sent without waiting to each of that thread's top-level windows.
void Notify(const std::vector<std::uint32_t>& pids, UINT message, GuardNotice notice, LPARAM lParam) {
    const auto wParam = static_cast<WPARAM>(notice);
    for (const auto pid : pids) {
        const HWND app = FindApplicationWindow(pid);
        if (!app) continue;
        const DWORD tid = GetWindowThreadProcessId(app, nullptr);
        for (int attempt = 0; attempt < kPostRetries; ++attempt) {
            if (PostThreadMessageW(tid, message, wParam, lParam) || !ThreadExists(tid)) break;
            Sleep(1);
        }
        for (const HWND wnd : ThreadWindows(tid)) SendNotifyMessageW(wnd, message, wParam, lParam);
    }
}

// What one process shares with the other instances. The first guard of the process opens it and
// registers; the last guard, LeaveInstanceRegistries or the end of the process leaves.
class ProcessRegistration {
  public:
    ~ProcessRegistration() { Leave(); }

    bool Open() {
        if (FOpened) return FUsable;
        FOpened = true;
        FOwnFileName = FileNamePart(ProgramFileName());
        const auto names = InstanceObjectNames(CurrentInstanceIdentity());
        FMessage = RegisterWindowMessageW(names.Message.c_str());
        EveryoneSecurity security;
        FLock.reset(CreateMutexW(security.get(), FALSE, names.Lock.c_str()));
        if (!FLock && GetLastError() == ERROR_ACCESS_DENIED)
            FLock.reset(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, names.Lock.c_str()));
        FUsable = FMessage != 0 && FLock && FAll.Open(names.All, security) &&
                  FSession.Open(names.Session, security) && FUser.Open(names.User, security);
        return FUsable;
    }

    bool Usable() const { return FUsable; }
    UINT Message() const { return FMessage; }

    void Register() {
        if (!FUsable || FRegistered || FLeft) return;
        const DWORD self = GetCurrentProcessId();
        std::vector<std::uint32_t> everyone;
        {
            LockHolder lock(FLock.get());
            SweepDead();
            auto all = FAll.Registry();
            all.Append(self);
            all.SetLimitIfUnset(kAllInstancesLimit);
            FSession.Registry().Append(self);
            FUser.Registry().Append(self);
            everyone = all.ProcessIds();
        }
        FRegistered = true;
        Notify(everyone, FMessage, GuardNotice::InstanceStarted, static_cast<LPARAM>(self));
    }

    void Leave() {
        if (!FRegistered || FLeft) {
            FLeft = true;
            return;
        }
        FLeft = true;
        const DWORD self = GetCurrentProcessId();
        std::vector<std::uint32_t> remaining;
        {
            LockHolder lock(FLock.get());
            FAll.Registry().Remove(self);
            FSession.Registry().Remove(self);
            FUser.Registry().Remove(self);
            remaining = FAll.Registry().ProcessIds();
        }
        Notify(remaining, FMessage, GuardNotice::InstanceEnded, static_cast<LPARAM>(self));
    }

    // The all-instances registry as it stands, without the entries of ended processes.
    std::vector<std::uint32_t> LiveInstances() {
        LockHolder lock(FLock.get());
        SweepDead();
        return FAll.Registry().ProcessIds();
    }

    void AddGuard() { ++FGuards; }
    void RemoveGuard() {
        if (--FGuards == 0) Leave();
    }

  private:
    void SweepDead() {
        const auto dead = [this](std::uint32_t pid) { return IsDeadInstance(pid, FOwnFileName); };
        FAll.Registry().RemoveIf(dead);
        FSession.Registry().RemoveIf(dead);
        FUser.Registry().RemoveIf(dead);
    }

    bool FOpened = false, FUsable = false, FRegistered = false, FLeft = false;
    int FGuards = 0;
    std::wstring FOwnFileName;
    UINT FMessage = 0;
    unique_handle FLock;
    SharedRegistry FAll, FSession, FUser;
};

ProcessRegistration& Registration() {
    static ProcessRegistration registration;
    return registration;
}

void RegisterGuardClass(HINSTANCE instance, WNDPROC proc) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = proc;
    cls.hInstance = instance;
    cls.lpszClassName = kGuardWindowClass;
    // Fails harmlessly with ERROR_CLASS_ALREADY_EXISTS for every guard after the first.
    RegisterClassExW(&cls);
}

}  // namespace

std::wstring InstanceIdentity(std::wstring_view AExecutablePath) {
    std::wstring path(AExecutablePath);
    if (!path.empty()) CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    return InstanceIdentityOf(path);
}

std::wstring CurrentInstanceIdentity() { return InstanceIdentity(ProgramFileName()); }

TInstanceObjectNames InstanceObjectNames(const std::wstring& AIdentity) {
    return {AIdentity + L"_Msg", AIdentity + L"_Otx", AIdentity + L"_All", AIdentity + SessionSuffix(),
            AIdentity + UserSuffix()};
}

void LeaveInstanceRegistries() { Registration().Leave(); }

TSingleInstance::TSingleInstance(HINSTANCE AInstance) {
    RegisterGuardClass(AInstance, &TSingleInstance::WindowProc);
    FHandle = CreateWindowExW(WS_EX_TOOLWINDOW, kGuardWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, AInstance, this);
    auto& registration = Registration();
    registration.AddGuard();
    if (registration.Open()) {
        // Instances running with other rights must still reach this window.
        ChangeWindowMessageFilterEx(FHandle, registration.Message(), MSGFLT_ALLOW, nullptr);
        ChangeWindowMessageFilterEx(FHandle, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
        registration.Register();
    }
}

TSingleInstance::~TSingleInstance() {
    if (FHandle) {
        SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        DestroyWindow(FHandle);
    }
    Registration().RemoveGuard();
}

LRESULT CALLBACK TSingleInstance::WindowProc(HWND AWnd, UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
    if (AMsg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
        SetWindowLongPtrW(AWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TSingleInstance*>(GetWindowLongPtrW(AWnd, GWLP_USERDATA));
    if (self && self->FHandle == AWnd) return self->HandleMessage(AMsg, AWParam, ALParam);
    return DefWindowProcW(AWnd, AMsg, AWParam, ALParam);
}

LRESULT TSingleInstance::HandleMessage(UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
    const UINT message = Registration().Message();
    if (message != 0 && AMsg == message) {
        switch (static_cast<GuardNotice>(AWParam)) {
            case GuardNotice::QueryActive: {
                const auto asker = reinterpret_cast<HWND>(ALParam);
                if (IsWindow(asker))
                    SendAndWait(asker, message, static_cast<WPARAM>(GuardNotice::AnswerActive),
                                FActive ? 1 : 0);
                break;
            }
            case GuardNotice::AnswerActive:
                FActive = ALParam != 0;
                break;
            default:  // started, ended and user notices need nothing here
                break;
        }
        return 0;
    }
    if (AMsg == WM_COPYDATA) {
        if (reinterpret_cast<HWND>(AWParam) == FHandle) return 0;
        const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(ALParam);
        if (copy && copy->dwData == kCopyDataCommandLine && FOnCommandLine) {
            const auto* text = static_cast<const wchar_t*>(copy->lpData);
            FOnCommandLine(text ? std::wstring_view(text, copy->cbData / sizeof(wchar_t))
                                : std::wstring_view());
        }
        return 1;
    }
    return DefWindowProcW(FHandle, AMsg, AWParam, ALParam);
}

void TSingleInstance::Check() {
    auto& registration = Registration();
    if (!registration.Usable()) return;
    const auto all = registration.LiveInstances();
    const DWORD self = GetCurrentProcessId();
    if (all.empty() || all.front() == self) return;
    if (!AskOthersWhetherActive()) return;
    ActivateFirstInstance();
    SendCommandLine();
    LeaveInstanceRegistries();
    ExitProcess(0);
}

bool TSingleInstance::AskOthersWhetherActive() {
    auto& registration = Registration();
    const UINT message = registration.Message();
    const DWORD self = GetCurrentProcessId();
    for (const auto pid : registration.LiveInstances()) {
        if (pid == self) continue;
        const HWND app = FindApplicationWindow(pid);
        if (!app) continue;  // cannot be asked
        const DWORD thread = GetWindowThreadProcessId(app, nullptr);
        for (const HWND wnd : ThreadWindows(thread)) {
            if (!SendAndWait(wnd, message, static_cast<WPARAM>(GuardNotice::QueryActive),
                             reinterpret_cast<LPARAM>(FHandle))) {
                // It does not answer; its other windows would not either. Its silence leaves the
                // flag as it is, so a hung instance still counts as running.
                FUnresponsive.push_back(thread);
                break;
            }
            if (!FActive) return false;
        }
    }
    return FActive;
}

namespace {

// The instance's main window: the application window itself when it is shown, otherwise the
// shown window of its thread that stands on the taskbar (the application window of a launcher is
// hidden for its whole life, and its menu window is what the user minimises).
HWND MainWindowOf(HWND app) {
    if (IsWindowVisible(app)) return app;
    for (const HWND wnd : ThreadWindows(GetWindowThreadProcessId(app, nullptr))) {
        const auto exStyle = GetWindowLongPtrW(wnd, GWL_EXSTYLE);
        if (wnd == app || !IsWindowVisible(wnd) || (exStyle & WS_EX_TOOLWINDOW)) continue;
        if ((exStyle & WS_EX_APPWINDOW) || !GetWindow(wnd, GW_OWNER)) return wnd;
    }
    return app;
}

}  // namespace

void TSingleInstance::ActivateFirstInstance() {
    const auto all = Registration().LiveInstances();
    const DWORD self = GetCurrentProcessId();
    if (all.empty() || all.front() == self) return;
    const HWND app = FindApplicationWindow(all.front());
    if (!app || Unresponsive(app)) return;
    if (IsIconic(app)) SendAndWait(app, WM_SYSCOMMAND, SC_RESTORE, 0);
    const HWND main = MainWindowOf(app);
    if (main != app && IsIconic(main)) SendAndWait(main, WM_SYSCOMMAND, SC_RESTORE, 0);
    // A modal dialog of the instance, if one is open, is what the user must see.
    HWND target = GetLastActivePopup(main);
    if (!target || !IsWindowVisible(target) || !IsWindowEnabled(target)) target = main;

    const DWORD targetThread = GetWindowThreadProcessId(target, nullptr);
    const HWND foreground = GetForegroundWindow();
    const DWORD current = foreground ? GetWindowThreadProcessId(foreground, nullptr) : 0;
    const bool attach =
        current != 0 && current != targetThread && AttachThreadInput(current, targetThread, TRUE);
    SetForegroundWindow(target);
    if (attach) AttachThreadInput(current, targetThread, FALSE);
}

bool TSingleInstance::Unresponsive(HWND AWnd) const {
    const DWORD thread = GetWindowThreadProcessId(AWnd, nullptr);
    return std::find(FUnresponsive.begin(), FUnresponsive.end(), thread) != FUnresponsive.end();
}

void TSingleInstance::SendCommandLine() {
    std::wstring text;
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i) text.append(argv[i]).append(L"\r\n");
        LocalFree(argv);
    }
    COPYDATASTRUCT copy{};
    copy.dwData = kCopyDataCommandLine;
    copy.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    copy.lpData = text.empty() ? nullptr : text.data();

    const auto all = Registration().LiveInstances();
    struct Search {
        const std::vector<std::uint32_t>* pids;
        std::vector<HWND> found;
    } search{&all, {}};
    EnumWindows(
        [](HWND wnd, LPARAM lp) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(lp);
            wchar_t cls[64];
            if (!GetClassNameW(wnd, cls, 64) || lstrcmpW(cls, kGuardWindowClass) != 0) return TRUE;
            DWORD pid = 0;
            GetWindowThreadProcessId(wnd, &pid);
            for (const auto registered : *s.pids)
                if (registered == pid) s.found.push_back(wnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    for (const HWND wnd : search.found)
        if (!Unresponsive(wnd))
            SendAndWait(wnd, WM_COPYDATA, reinterpret_cast<WPARAM>(FHandle), reinterpret_cast<LPARAM>(&copy));
}
