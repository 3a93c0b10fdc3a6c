#include "base/win32_error.h"

#include "base/string_convert.h"

std::wstring SystemErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text;
}

Win32Error::Win32Error(DWORD code)
    : Error(WideToUtf8(SystemErrorText(code).empty() ? L"System error " + std::to_wstring(code)
                                                     : SystemErrorText(code))),
      code_(code) {}

void ThrowLastError() { throw Win32Error(GetLastError()); }
