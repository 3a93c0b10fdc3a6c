#pragma once
// One launcher per executable path. Instances of the same executable find each other through named
// objects derived from the executable's full path (see InstanceIdentity): a lock, three registries
// of process identifiers in named shared memory, a registered message, and one hidden guard window
// per instance. A second start brings the running instance forward, hands it its command line and
// ends with exit code 0 before it shows anything.
//
// Everything here runs on the UI thread that created the guard.
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Class of the hidden tool window each guard creates.
inline constexpr wchar_t kGuardWindowClass[] = L"AureviaInstances_WindowClass";
// Class of the hidden top-level application window that the guard looks for in every instance: the
// start and end notifications go to its thread, and a rejected start restores and activates it.
inline constexpr wchar_t kApplicationWindowClass[] = L"AureviaApplication";

// Meanings of the registered message, carried in wParam.
enum class GuardNotice : WPARAM {
    InstanceStarted = 1,  // lParam: process identifier
    InstanceEnded = 2,    // lParam: process identifier
    UserNotice = 3,
    QueryActive = 4,   // lParam: the asking guard window
    AnswerActive = 5,  // lParam: 1 active, 0 inactive
};
// WM_COPYDATA dwData of a command-line copy.
inline constexpr ULONG_PTR kCopyDataCommandLine = 1;

// "APPINST" + the executable's full path, upper-cased, every "\" turned into "_".
std::wstring InstanceIdentity(std::wstring_view AExecutablePath);
// The identity of the running executable.
std::wstring CurrentInstanceIdentity();

// The names of the named objects of one identity, as this process (its session and account) sees
// them.
struct TInstanceObjectNames {
    std::wstring Message;  // registered window message
    std::wstring Lock;     // cross-process lock around every registry access
    std::wstring All;      // registry of all instances: decides the check
    std::wstring Session;  // registry of this session's instances
    std::wstring User;     // registry of this account's instances
};
TInstanceObjectNames InstanceObjectNames(const std::wstring& AIdentity);

class TSingleInstance {
  public:
    // Called with the text of a command-line copy from a rejected start (each argument followed by
    // CR LF). The launcher installs none, so the text is dropped.
    using CommandLineHandler = std::function<void(std::wstring_view)>;

    // Creates the guard window. The first guard created in a process also registers the process in
    // the three registries and tells every registered instance that it has started. If the named
    // objects cannot be made, the guard stays inert: Check lets the start go on.
    explicit TSingleInstance(HINSTANCE AInstance);
    // Destroys the guard window; the last guard of a process leaves the registries.
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Returns when this is the only (or oldest) registered instance of the executable, or when the
    // older instances' guards report themselves inactive. Otherwise activates the oldest instance,
    // sends it the command line, leaves the registries and ends the process with exit code 0.
    void Check();

    HWND Handle() const { return FHandle; }
    bool Active() const { return FActive; }
    void SetCommandLineHandler(CommandLineHandler AHandler) { FOnCommandLine = std::move(AHandler); }

  private:
    static LRESULT CALLBACK WindowProc(HWND AWnd, UINT AMsg, WPARAM AWParam, LPARAM ALParam);
    LRESULT HandleMessage(UINT AMsg, WPARAM AWParam, LPARAM ALParam);
    bool AskOthersWhetherActive();
    void ActivateFirstInstance();
    void SendCommandLine();
    bool Unresponsive(HWND AWnd) const;

    HWND FHandle = nullptr;
    bool FActive = true;
    CommandLineHandler FOnCommandLine;
    // Threads of other instances that let a query time out during the check: not waited for again.
    std::vector<DWORD> FUnresponsive;
};

// Takes this process out of the registries now, so that a successor started right afterwards (the
// self-update) is not rejected as a second start. Safe to call more than once and from a process
// without a guard; a guard destroyed later does not register the process again.
void LeaveInstanceRegistries();
