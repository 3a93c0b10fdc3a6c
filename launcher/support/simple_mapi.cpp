#include "launcher/support/simple_mapi.h"

#include <cwchar>

#include <string_view>

bool SimpleMapiInstalled() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows Messaging Subsystem", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return false;
    // 18 bytes: a longer value cannot be "1" and is not read at all.
    wchar_t value[9] = {};
    DWORD size = sizeof(value);
    DWORD type = 0;
    const LONG status = RegQueryValueExW(key, L"MAPI", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    const std::size_t stored = size / sizeof(wchar_t);
    return std::wstring_view(value, wcsnlen(value, stored < 9 ? stored : 9)) == L"1";
}

ULONG TSimpleMapi::SendMail(LHANDLE ASession, ULONG_PTR AUIParam, MapiMessage* AMessage, FLAGS AFlags,
                            ULONG AReserved) {
    if (!FChecked) {
        FChecked = true;
        if (SimpleMapiInstalled()) FLibrary = LoadLibraryW(L"MAPI32.DLL");
    }
    if (FLibrary && !FSendMail)
        FSendMail = reinterpret_cast<LPMAPISENDMAIL>(
            reinterpret_cast<void*>(GetProcAddress(FLibrary, "MAPISendMail")));
    if (!FSendMail) return MAPI_USER_ABORT;
    return FSendMail(ASession, AUIParam, AMessage, AFlags, AReserved);
}

TSimpleMapi& TSimpleMapi::Process() {
    static TSimpleMapi instance;
    return instance;
}
