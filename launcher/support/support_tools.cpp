#include "launcher/support/support_tools.h"

#include "launcher/self_update/launcher_files.h"
#include "update/disk/file_ages.h"
#include "update/plan/file_content_check.h"
#include "update/plan/planned_install.h"
#include "update/plan/release_plan.h"
#include "update/source/folder_source.h"

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

std::wstring UpdateSignedSupportTool(const TUpdateVerification& AVerification,
                                     const std::wstring& AServerFolder, const std::wstring& ADestFolder,
                                     const std::wstring& AProgram, const std::wstring& AFileName) {
    TFolderSource source(AServerFolder);
    const TReleasePlan plan = PlanRelease(AVerification, source);
    if (!plan.Accepted()) {
        // A refused release control is told at once; a refused manifest when it keeps a program from
        // starting.
        if (plan.RefusedAt() == TPlanStage::Rollout || FileExists(AProgram))
            return RefusalReason({plan.Refusal(), plan.Detail(), {}, {}});
        return {};
    }
    const std::optional<TPlannedFile> tool = plan.Find(AFileName);
    TInstallOutcome copy = TInstallOutcome::Installed;
    if (tool && tool->Expected) {
        const std::wstring target = ADestFolder + AFileName;
        TDateTime age = 0;
        // The release gives the age; in the flat folder the server's copy keeps its own. A failed or
        // refused fetch leaves the local copy as it was, and the check below decides.
        if (!FileMatchesManifest(*tool->Expected, target) &&
            (tool->Age || ReadFileAge(AServerFolder + tool->RemoteName, age)))
            copy = InstallPlannedFile(source, *tool, target, tool->Age.value_or(age));
    }
    if (!FileExists(AProgram)) return copy == TInstallOutcome::Altered ? L"arquivo alterado" : L"";
    if (!tool || !tool->Expected || !FileMatchesManifest(*tool->Expected, AProgram))
        return L"arquivo alterado";
    return {};
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
