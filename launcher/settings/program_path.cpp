#include "launcher/settings/program_path.h"

#include <windows.h>

#include "base/win32_error.h"

std::wstring ProgramFileName() {
    // Paths may exceed MAX_PATH with long-path support: grow until the name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) ThrowLastError(TErrorCategory::Other);
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}
