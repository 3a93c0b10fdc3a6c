
#include "launcher/self_update/launcher_files.h"
#include "launcher/support/support_tools.h"

namespace {

bool HasNonBlankEntry(const std::vector<std::wstring>& names) {
    for (const auto& name : names)
        for (const wchar_t c : name)
            if (c > L' ') return true;  // what trimming would keep
    return false;
}

}  // namespace

void CopyFromServer(TShellFileOperation& AOperation, HWND AOwner, const std::wstring& ASourceFolder,
                    const std::wstring& ADestFolder, const std::wstring& AFileName) {
    AOperation.SourceFiles.clear();
    AOperation.DestinationFolders.clear();
    const std::wstring source = ASourceFolder + AFileName;
    const std::wstring target = ADestFolder + AFileName;
    if (FileExists(source)) {
        AOperation.DestinationFolders.push_back(ADestFolder);
        if (!FileExists(target)) {
            AOperation.SourceFiles.push_back(source);
        } else if (FileDosAge(target) != FileDosAge(source)) {
            // Deleted first so that the shell asks no overwrite question.
            DeleteFileW(target.c_str());
            AOperation.SourceFiles.push_back(source);
        }
    }
    if (HasNonBlankEntry(AOperation.SourceFiles)) AOperation.Execute(AOwner);
}

bool StartSupportTool(const std::wstring& AProgram, STARTUPINFOW& AStartupInfo,
                      PROCESS_INFORMATION& AProcessInfo) {
    if (!FileExists(AProgram)) return false;
    // Quoted, so that a folder name with a blank cannot make Windows start "C:\Program.exe" instead.
    // CreateProcessW may write into its command line: it gets its own copy.
    std::wstring commandLine = L"\"" + AProgram + L"\"";
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &AStartupInfo, &AProcessInfo)) {
        CloseHandle(AProcessInfo.hThread);
        CloseHandle(AProcessInfo.hProcess);
    }
    return true;
}
