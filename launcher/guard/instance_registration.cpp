#include "launcher/guard/instance_registration.h"

#include <sddl.h>

#include <vector>

#include "launcher/guard/instance_registry.h"
#include "launcher/settings/program_path.h"
#include "base/handles.h"

namespace {

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

UINT OpenInstanceRegistries() {
    auto& registration = Registration();
    registration.AddGuard();
    return registration.Open() ? registration.Message() : 0;
}

void RegisterInstance() { Registration().Register(); }

void DropInstanceGuard() { Registration().RemoveGuard(); }

UINT InstanceMessage() { return Registration().Usable() ? Registration().Message() : 0; }

std::vector<std::uint32_t> LiveInstances() {
    auto& registration = Registration();
    return registration.Usable() ? registration.LiveInstances() : std::vector<std::uint32_t>{};
}

void LeaveInstanceRegistries() { Registration().Leave(); }
