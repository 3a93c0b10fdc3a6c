#pragma once
// One launcher per executable path: the guard window and its protocol. Instances of the same
// executable find each other through the registries of instance_registration.h and talk through one
// hidden guard window per instance. A second start brings the running instance forward, hands it
// its command line and ends with exit code 0 before it shows anything.
//
// Everything here runs on the UI thread that created the guard.
#include <windows.h>

#include <functional>
#include <string_view>
#include <vector>

#include "launcher/guard/instance_registration.h"

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
    void ComeForward();
    void SendCommandLine();
    bool Unresponsive(HWND AWnd) const;

    HWND FHandle = nullptr;
    bool FActive = true;
    CommandLineHandler FOnCommandLine;
    // Threads of other instances that let a query time out during the check: not waited for again.
    std::vector<DWORD> FUnresponsive;
};
