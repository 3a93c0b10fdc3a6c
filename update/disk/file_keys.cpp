#include "update/disk/file_keys.h"

#include <windows.h>

#include "base/win32_error.h"

std::wstring FileKey(std::wstring_view fileName) {
    if (fileName.empty()) return {};
    constexpr DWORD kFlags = LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING;
    const int length = static_cast<int>(fileName.size());
    const int needed = LCMapStringEx(LOCALE_NAME_USER_DEFAULT, kFlags, fileName.data(), length, nullptr, 0,
                                     nullptr, nullptr, 0);
    if (needed <= 0) ThrowLastError(TErrorCategory::Other);
    std::wstring key(static_cast<size_t>(needed), L'\0');
    if (LCMapStringEx(LOCALE_NAME_USER_DEFAULT, kFlags, fileName.data(), length, key.data(), needed, nullptr,
                      nullptr, 0) <= 0)
        ThrowLastError(TErrorCategory::Other);
    return key;
}
