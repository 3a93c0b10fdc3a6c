#include "launcher/support/shell_file_operation.h"

#include <winnetwk.h>

#include "base/win32_error.h"

namespace {

std::wstring AbsoluteName(const std::wstring& name) {
    if (name.empty()) return name;
    const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return name;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(name.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return name;
    full.resize(length);
    return full;
}

std::wstring UniversalName(const std::wstring& name) {
    if (name.size() < 3 || name[1] != L':') return name;
    const wchar_t root[] = {name[0], L':', L'\\', L'\0'};
    if (GetDriveTypeW(root) != DRIVE_REMOTE) return name;
    DWORD size = 1024;
    std::vector<BYTE> buffer(size);
    DWORD status = WNetGetUniversalNameW(name.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
    if (status == ERROR_MORE_DATA) {
        buffer.resize(size);
        status = WNetGetUniversalNameW(name.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
    }
    if (status != NO_ERROR) return name;
    return reinterpret_cast<UNIVERSAL_NAME_INFOW*>(buffer.data())->lpUniversalName;
}

}  // namespace

std::wstring ShellNameList(const std::vector<std::wstring>& ANames) {
    std::wstring list;
    for (const auto& name : ANames) {
        list += UniversalName(AbsoluteName(name));
        list += L'\0';
    }
    list += L'\0';
    // An empty list still needs its two closing nulls.
    if (ANames.empty()) list += L'\0';
    return list;
}

bool TShellFileOperation::Execute(HWND AOwner) {
    const std::wstring from = ShellNameList(SourceFiles);
    const std::wstring to = ShellNameList(DestinationFolders);
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = AOwner;
    operation.wFunc = Operation;
    operation.pFrom = from.c_str();
    operation.pTo = to.c_str();
    operation.fFlags = Flags;
    operation.lpszProgressTitle = ProgressTitle.c_str();
    operation.hNameMappings = nullptr;
    const int result = SHFileOperationW(&operation);
    const bool succeeded = result == 0 && !operation.fAnyOperationsAborted;
    if (!succeeded) LastErrorMessage = SystemErrorText(GetLastError());
    return succeeded;
}
