#include "launcher/self_update/self_update.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/event_log.h"
#include "base/paths.h"
#include "launcher/fleet/fleet_reports.h"
#include "launcher/self_update/launcher_files.h"
#include "launcher/self_update/self_update_fleet.h"
#include "update/disk/file_ages.h"
#include "update/disk/file_operations.h"
#include "update/plan/planned_install.h"
#include "update/plan/release_plan.h"
#include "update/source/folder_source.h"
#include "update/stream/fetch_observer.h"

namespace {

std::wstring InCurrentDirectory(const wchar_t* name) { return PathJoin(CurrentDirectory(), name); }

// How many bytes of the copy have arrived, in full: a launcher past 4 GB is no reason to compare
// only the low 32 bits.
class TByteCount final : public IFetchObserver {
  public:
    void Begin(uint64_t AOffset, std::optional<uint64_t>) override { FBytes = AOffset; }
    void Received(const char*, size_t ASize) override { FBytes += ASize; }
    uint64_t Bytes() const { return FBytes; }

  private:
    uint64_t FBytes = 0;
};

// The age the copy keeps: the release's, else the server file's, as a plain copy would keep it.
TDateTime CopyAge(const TPlannedFile& ALauncher, const std::wstring& AServerFile) {
    if (ALauncher.Age) return *ALauncher.Age;
    TDateTime age = 0;
    if (ReadFileAge(AServerFile, age)) return age;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeToAge(now);
}

std::wstring ShortVersion(const std::optional<TFileVersion>& AVersion) {
    return AVersion ? VersionString(*AVersion) : std::wstring();
}

// Undo of a swap that stopped half-way: the executable that was running goes back under its name.
void RestorePreviousLauncher() {
    if (!FileExists(kLauncherExe) && !MoveFileW(kLauncherOld, kLauncherExe))
        CopyFileW(kLauncherOld, kLauncherExe, TRUE);
    DeleteFileW(kLauncherNew);
}

// The check runs on every activation: a decision goes to the log when it differs from the last one
// logged, not each time. UI thread only.
TSelfUpdateOutcome Decided(TSelfUpdateOutcome AOutcome, const char* ADecision, const char* AReason,
                           const std::wstring& ALocalVersion = {}, const std::wstring& AServerVersion = {},
                           TErrorCategory AFailure = TErrorCategory::Other) {
    static std::string last;
    TLogLine line(AOutcome == TSelfUpdateOutcome::CopyFailed ? TLogLevel::Error : TLogLevel::Info,
                  "self-update");
    line.Add("decision", ADecision).Add("reason", AReason);
    line.Add("local", ALocalVersion.empty() ? L"-" : ALocalVersion);
    line.Add("server", AServerVersion.empty() ? L"-" : AServerVersion);
    std::string key = line.Text(TLogTime{});
    if (key != last) {
        LogEvent(line);
        FleetReports().Send(
            SelfUpdateFleetReport(AOutcome, AReason, AFailure, ALocalVersion, AServerVersion));
        last = std::move(key);
    }
    return AOutcome;
}

}  // namespace

std::wstring LocalLauncherPath() { return InCurrentDirectory(kLauncherExe); }

TSelfUpdateOutcome ReplaceLauncherFromServer(const std::wstring& AServerFolder,
                                             const TUpdateVerification& AVerification) {
    TFolderSource source(AServerFolder);
    // Which launcher, from which signed document, checked how: the plan's answer, as for every file.
    const TReleasePlan plan = PlanRelease(AVerification, source);
    // A refused release control copies nothing; the updates show why (a notice on every activation
    // would say nothing more).
    if (!plan.Accepted() && plan.RefusedAt() == TPlanStage::Rollout)
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "rollout refused");
    const std::optional<TPlannedFile> launcher = plan.Find(kLauncherExe);
    if (plan.FromRelease() && !launcher)
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "no launcher in the release");
    // Under release control the launcher is stored under its content.
    const std::wstring server =
        AServerFolder + (launcher ? launcher->RemoteName : std::wstring(kLauncherExe));
    if (!FileExists(server))
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "no launcher in the server folder");

    // An unreadable version on either side is no reason to replace a launcher that works. Builds are
    // compared in full; the short form is only what the log shows.
    const std::optional<TFileVersion> localVersion = FileFullVersionOf(LocalLauncherPath());
    const std::optional<TFileVersion> serverVersion = FileFullVersionOf(server);
    const std::wstring localText = ShortVersion(localVersion), serverText = ShortVersion(serverVersion);
    if (!localVersion || !serverVersion)
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "version unreadable", localText, serverText);
    if (*localVersion == *serverVersion)
        return Decided(TSelfUpdateOutcome::UpToDate, "keep", "same version", localText, serverText);
    if (!plan.Accepted())
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "manifest refused", localText, serverText,
                       TErrorCategory::Signature);
    if (!launcher)
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "not in the signed manifest", localText,
                       serverText, TErrorCategory::Signature);

    // The copy lands in a temporary, is checked there (against the signed entry, and in full against
    // the server file's size), and only then becomes "Aurevia.NEW", already flushed to the disk: no
    // unchecked or half-written build ever waits under that name.
    const std::int64_t serverSize = FileSizeOf(server);
    TByteCount copied;
    const TInstallOutcome copy =
        InstallPlannedFile(source, *launcher, InCurrentDirectory(kLauncherNew), CopyAge(*launcher, server),
                           nullptr, &copied, [&] {
                               if (serverSize < 0 || copied.Bytes() != static_cast<uint64_t>(serverSize))
                                   throw Error("copy incomplete", TErrorCategory::Fetch);
                           });
    if (copy == TInstallOutcome::Altered)
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "not the signed release", localText,
                       serverText, TErrorCategory::Altered);
    if (copy == TInstallOutcome::Failed)
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "copy incomplete", localText, serverText,
                       TErrorCategory::Fetch);

    DeleteFileW(kLauncherOld);
    if (!MoveFileExW(kLauncherExe, kLauncherOld, MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(kLauncherNew);
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "rename of the running launcher failed",
                       localText, serverText, TErrorCategory::Disk);
    }
    if (!MoveFileExW(kLauncherNew, kLauncherExe, MOVEFILE_WRITE_THROUGH)) {
        RestorePreviousLauncher();
        return Decided(TSelfUpdateOutcome::CopyFailed, "failed", "rename of the new launcher failed",
                       localText, serverText, TErrorCategory::Disk);
    }
    return Decided(TSelfUpdateOutcome::Replaced, "replace", "other version", localText, serverText);
}

void StartLocalLauncher() {
    ShellExecuteW(nullptr, nullptr, LocalLauncherPath().c_str(), L"", nullptr, SW_SHOWNORMAL);
}
