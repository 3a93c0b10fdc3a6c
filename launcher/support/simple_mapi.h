#pragma once
// Run-time access to Simple MAPI ("MAPI32.DLL"), which a workstation may lack. Runs on the UI thread.
#include <windows.h>
#include <mapi.h>

// Whether the registry says Simple MAPI is installed: the value "MAPI" under HKEY_LOCAL_MACHINE
// "SOFTWARE\Microsoft\Windows Messaging Subsystem" reads exactly "1".
bool SimpleMapiInstalled();

class TSimpleMapi {
  public:
    TSimpleMapi() = default;
    TSimpleMapi(const TSimpleMapi&) = delete;
    TSimpleMapi& operator=(const TSimpleMapi&) = delete;

    // MAPISendMail, or 1 (MAPI_USER_ABORT) without doing anything when Simple MAPI is not installed
    // or the library has no such entry point. The registry check and the load happen once, on the
    // first call; the entry point is looked up again on every call until it is found.
    ULONG SendMail(LHANDLE ASession, ULONG_PTR AUIParam, MapiMessage* AMessage, FLAGS AFlags,
                   ULONG AReserved);

    // The loader the launcher uses; its library stays loaded until the process ends.
    static TSimpleMapi& Process();

  private:
    bool FChecked = false;
    // Never freed: mail programs leave threads and hooks behind that outlive any unload we could do.
    HMODULE FLibrary = nullptr;
    LPMAPISENDMAIL FSendMail = nullptr;
};
