#include <windows.h>
#include <shellapi.h>

#include <cstdint>

#include "app/launcher_files.h"
#include "app/self_update.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "update/content_verifier.h"

namespace {

std::wstring InCurrentDirectory(const wchar_t* name) { return PathJoin(CurrentDirectory(), name); }

// Undo of a swap that stopped half-way: the executable that was running goes back under its name.
void RestorePreviousLauncher() {
    if (!FileExists(kLauncherExe) && !MoveFileW(kLauncherOld, kLauncherExe))
        CopyFileW(kLauncherOld, kLauncherExe, TRUE);
    DeleteFileW(kLauncherNew);
}

}  // namespace

std::wstring LocalLauncherPath() { return InCurrentDirectory(kLauncherExe); }

TSelfUpdateOutcome ReplaceLauncherFromServer(const std::wstring& AServerFolder,
                                             const TUpdateVerification& AVerification) {
    const std::wstring server = AServerFolder + kLauncherExe;
    if (!FileExists(server)) return TSelfUpdateOutcome::UpToDate;

    // An unreadable version on either side is no reason to replace a launcher that works.
    const std::wstring localVersion = FileVersionOf(LocalLauncherPath());
    const std::wstring serverVersion = FileVersionOf(server);
    if (localVersion.empty() || serverVersion.empty() || localVersion == serverVersion)
        return TSelfUpdateOutcome::UpToDate;

    std::optional<TManifestFile> signedLauncher;
    if (AVerification.Enabled()) {
        const TAcceptance acceptance = AcceptFolderManifest(AVerification, AServerFolder);
        if (!acceptance.Accepted()) return TSelfUpdateOutcome::CopyFailed;
        const TManifestFile* entry = FindManifestFile(acceptance.Manifest, WideToUtf8(kLauncherExe));
        if (!entry) return TSelfUpdateOutcome::CopyFailed;
        signedLauncher = *entry;
    }

    const std::int64_t serverSize = FileSizeOf(server);
    const std::wstring fresh = InCurrentDirectory(kLauncherNew);
    // The copy's own result is not trusted either way: the size of what landed decides.
    CopyFileW(server.c_str(), fresh.c_str(), FALSE);
    if (static_cast<std::uint32_t>(FileSizeOf(fresh)) != static_cast<std::uint32_t>(serverSize))
        return TSelfUpdateOutcome::CopyFailed;
    // The copy that would run is the one checked, so a server file changed after the check gains nothing.
    if (signedLauncher && !FileMatchesManifest(*signedLauncher, fresh)) {
        DeleteFileW(fresh.c_str());
        return TSelfUpdateOutcome::CopyFailed;
    }

    DeleteFileW(kLauncherOld);
    if (!MoveFileW(kLauncherExe, kLauncherOld)) {
        DeleteFileW(kLauncherNew);
        return TSelfUpdateOutcome::CopyFailed;
    }
    if (!MoveFileW(kLauncherNew, kLauncherExe)) {
        RestorePreviousLauncher();
        return TSelfUpdateOutcome::CopyFailed;
    }
    return TSelfUpdateOutcome::Replaced;
}

void StartLocalLauncher() {
    ShellExecuteW(nullptr, nullptr, LocalLauncherPath().c_str(), L"", nullptr, SW_SHOWNORMAL);
}
