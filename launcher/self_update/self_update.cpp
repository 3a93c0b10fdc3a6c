#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

#include "launcher/self_update/launcher_files.h"
#include "launcher/self_update/self_update.h"
#include "launcher/self_update/self_update_fleet.h"
#include "base/event_log.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "launcher/fleet/fleet_reports.h"
#include "update/plan/file_content_check.h"
#include "update/disk/file_operations.h"
#include "update/source/folder_source.h"
#include "update/source/source_manifest.h"
#include "update/plan/rollout_acceptance.h"

namespace {

std::wstring InCurrentDirectory(const wchar_t* name) { return PathJoin(CurrentDirectory(), name); }

// Undo of a swap that stopped half-way: the executable that was running goes back under its name.
void RestorePreviousLauncher() {
    if (!FileExists(kLauncherExe) && !MoveFileW(kLauncherOld, kLauncherExe))
        CopyFileW(kLauncherOld, kLauncherExe, TRUE);
    DeleteFileW(kLauncherNew);
}

// The check runs on every activation: a decision goes to the log when it differs from the last one
// logged, not each time. UI thread only.
TSelfUpdateOutcome Decided(TSelfUpdateOutcome AOutcome, const char* ADecision, const char* AReason,
                           const std::wstring& ALocalVersion = {}, const std::wstring& AServerVersion = {}) {
    static std::string last;
    TLogLine line(AOutcome == TSelfUpdateOutcome::CopyFailed ? TLogLevel::Error : TLogLevel::Info,
                  "self-update");
    line.Add("decision", ADecision).Add("reason", AReason);
    line.Add("local", ALocalVersion.empty() ? L"-" : ALocalVersion);
    line.Add("server", AServerVersion.empty() ? L"-" : AServerVersion);
    std::string key = line.Text(TLogTime{});
    if (key != last) {
        LogEvent(line);
        FleetReports().Send(SelfUpdateFleetReport(AOutcome, AReason, ALocalVersion, AServerVersion));
        last = std::move(key);
    }
    return AOutcome;
}

}  // namespace

std::wstring LocalLauncherPath() { return InCurrentDirectory(kLauncherExe); }

TSelfUpdateOutcome ReplaceLauncherFromServer(const std::wstring& AServerFolder,
                                             const TUpdateVerification& AVerification) {
    std::wstring server = AServerFolder + kLauncherExe;
    std::optional<TManifestFile> signedLauncher;
    bool rolloutMode = false;
    if (AVerification.Enabled()) {
        // Under release control the launcher is the assigned release's, stored under its content.
        TFolderSource source(AServerFolder);
        const TRolloutAcceptance rollout = AcceptRollout(AVerification, source);
        // Nothing is copied; the updates show why (a notice on every activation would say nothing more).
        if (!rollout.Accepted()) return Decided(TSelfUpdateOutcome::UpToDate, "keep", "rollout refused");
        if (rollout.RolloutMode()) {
            const TReleaseFile* entry = FindReleaseFile(*rollout.Release, WideToUtf8(kLauncherExe));
            if (!entry) return Decided(TSelfUpdateOutcome::UpToDate, "keep", "no launcher in the release");
            server = AServerFolder + ObjectName(*entry);
            signedLauncher = ExpectedContent(*entry);
            rolloutMode = true;
        }
    }
    if (!FileExists(server))
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "no launcher in the server folder");

    // An unreadable version on either side is no reason to replace a launcher that works.
    const std::wstring localVersion = FileVersionOf(LocalLauncherPath());
    const std::wstring serverVersion = FileVersionOf(server);
    if (localVersion.empty() || serverVersion.empty())
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "version unreadable", localVersion,
                       serverVersion);
    if (localVersion == serverVersion)
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "same version", localVersion, serverVersion);

    if (AVerification.Enabled() && !rolloutMode) {
        TFolderSource source(AServerFolder);
        const TAcceptance acceptance = AcceptSourceManifest(AVerification, source);
        if (!acceptance.Accepted())
            return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "manifest refused", localVersion,
                           serverVersion);
        const TManifestFile* entry = acceptance.Files.Find(kLauncherExe);
        if (!entry)
            return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "not in the signed manifest",
                           localVersion, serverVersion);
        signedLauncher = *entry;
    }

    const std::int64_t serverSize = FileSizeOf(server);
    const std::wstring fresh = InCurrentDirectory(kLauncherNew);
    // The copy's own result is not trusted either way: the size of what landed decides.
    CopyFileW(server.c_str(), fresh.c_str(), FALSE);
    if (static_cast<std::uint32_t>(FileSizeOf(fresh)) != static_cast<std::uint32_t>(serverSize))
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "copy incomplete", localVersion,
                       serverVersion);
    // The copy that would run is the one checked, so a server file changed after the check gains nothing.
    if (signedLauncher && !FileMatchesManifest(*signedLauncher, fresh)) {
        DeleteFileW(fresh.c_str());
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "not the signed release", localVersion,
                       serverVersion);
    }
    // The new build reaches the disk before any rename makes it the launcher: a power cut must not
    // leave an "Aurevia.EXE" whose data was never written.
    try {
        FlushFileToDisk(fresh);
    } catch (const std::exception&) {
        DeleteFileW(kLauncherNew);
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "flush failed", localVersion, serverVersion);
    }

    DeleteFileW(kLauncherOld);
    if (!MoveFileExW(kLauncherExe, kLauncherOld, MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(kLauncherNew);
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "rename of the running launcher failed",
                       localVersion, serverVersion);
    }
    if (!MoveFileExW(kLauncherNew, kLauncherExe, MOVEFILE_WRITE_THROUGH)) {
        RestorePreviousLauncher();
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "rename of the new launcher failed",
                       localVersion, serverVersion);
    }
    return Decided(TSelfUpdateOutcome::Replaced, "replace", "other version", localVersion, serverVersion);
}

void StartLocalLauncher() {
    ShellExecuteW(nullptr, nullptr, LocalLauncherPath().c_str(), L"", nullptr, SW_SHOWNORMAL);
}
