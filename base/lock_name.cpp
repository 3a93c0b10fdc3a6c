#include "base/lock_name.h"

#include <windows.h>

#include "base/string_convert.h"
#include "common/fnv.h"
#include "common/hex.h"

std::wstring PathLockName(std::wstring_view APrefix, const std::wstring& APath) {
    std::wstring upper = APath;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    const uint64_t hash = Fnv1a64(std::wstring_view(upper));
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(hash >> (56 - 8 * i));
    return L"Local\\" + std::wstring(APrefix) + Utf8ToWide(HexText(bytes, sizeof bytes));
}
