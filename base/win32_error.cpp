#include "base/win32_error.h"

#include "base/string_convert.h"

std::wstring SystemErrorText(DWORD code, HMODULE module) {
    wchar_t* buffer = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    const DWORD length =
        FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

namespace {
std::string MessageOf(DWORD code) {
    const std::wstring text = SystemErrorText(code);
    return WideToUtf8(text.empty() ? L"System error " + std::to_wstring(code) : text);
}
}  // namespace

Win32Error::Win32Error(DWORD code, TErrorCategory category)
    : Error(MessageOf(code), category, Win32Code(code)), code_(code) {}

void ThrowLastError(TErrorCategory category) { throw Win32Error(GetLastError(), category); }
