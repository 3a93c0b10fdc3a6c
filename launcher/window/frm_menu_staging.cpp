// The background fetch of the ring's staged and assigned releases into the workstation's store
// (update/plan/staged_fetch.h): one round after the start-up refresh, then one every
// [Rede] "Verificar Minutos", each on a task list of its own; paused while an update the user waits
// for runs, so that the click's update has the link to itself. Runs on the UI thread; the rounds
// run on the task list's pool.
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "base/event_log.h"
#include "base/log_line.h"
#include "base/paths.h"
#include "launcher/fleet/fleet_reports.h"
#include "launcher/window/frm_menu.h"
#include "update/plan/staged_fetch.h"
#include "update/plan/stored_objects_source.h"
#include "update/updater/files_updater.h"
#include "update/updater/staging_round.h"

namespace {

// The first round waits this long after the start-up refresh, so that the window settles and a
// click that comes at once meets no fetch at all.
constexpr UINT kFirstRoundDelayMs = 2000;

std::string SerialText(const std::optional<TRelease>& ARelease) {
    return ARelease ? std::to_string(ARelease->Serial) : "-";
}

void LogRound(const TStagingOutcome& AOutcome, const std::string& ARing) {
    const TStagingPlan& plan = AOutcome.Plan;
    if (!plan.Accepted) {
        LogEvent(TLogLine(TLogLevel::Warn, "staging-skipped").Add("ring", ARing).Add("reason", plan.Detail));
        return;
    }
    const bool failed = AOutcome.Failed > 0 || AOutcome.Altered > 0 || !plan.StagedDetail.empty();
    TLogLine line(failed ? TLogLevel::Warn : TLogLevel::Info, "staging");
    line.Add("ring", ARing)
        .Add("serial", plan.RolloutSerial)
        .Add("release", plan.Assigned.Serial)
        .Add("staged", SerialText(plan.Staged))
        .Add("wanted", AOutcome.Wanted)
        .Add("held", AOutcome.Held)
        .Add("fetched", AOutcome.Fetched)
        .Add("failed", AOutcome.Failed)
        .Add("altered", AOutcome.Altered)
        .Add("skipped", AOutcome.Skipped)
        .Add("bytes", AOutcome.Bytes)
        .Add("pruned", AOutcome.Pruned.Removed)
        .Add("store_bytes", AOutcome.Pruned.HeldBytes)
        .Add("ms", AOutcome.Milliseconds);
    if (AOutcome.Cancelled) line.Add("cancelled", "yes");
    if (!AOutcome.LastFailure.empty()) line.Add("reason", AOutcome.LastFailure);
    if (!plan.StagedDetail.empty()) line.Add("staged_refused", plan.StagedDetail);
    LogEvent(line);
}

}  // namespace

bool TFrmMenu::StoreEnabled() const {
    return FVerification.Enabled() && FSettings.Network.CacheBytes > 0 && !Unconfigured();
}

std::wstring TFrmMenu::StoreFolder() const { return PathJoin(FLocalPath, kObjectStoreFolderName); }

std::shared_ptr<IUpdateSource> TFrmMenu::UpdateSource(std::shared_ptr<TStoredObjectsSource>& AStored) {
    std::shared_ptr<IUpdateSource> source = TFilesUpdater::SourceFor(FRemotePath, FUrl, FLimits);
    if (!StoreEnabled()) return source;
    AStored = std::make_shared<TStoredObjectsSource>(std::move(source), TObjectStore(StoreFolder()));
    return AStored;
}

void TFrmMenu::LogStoreUse(const std::wstring& AModuleName, const TStoredObjectsSource& AStored) {
    if (AStored.FilesFromStore() == 0 && AStored.AlteredInStore() == 0) return;
    LogEvent(TLogLine(AStored.AlteredInStore() ? TLogLevel::Warn : TLogLevel::Info, "store")
                 .Add("module", AModuleName.empty() ? std::wstring(L"-") : AModuleName)
                 .Add("files", AStored.FilesFromStore())
                 .Add("bytes", AStored.BytesFromStore())
                 .Add("altered", AStored.AlteredInStore()));
}

void TFrmMenu::StartStaging() {
    if (FStagingControl || !StoreEnabled() || FSettings.Network.CheckInterval.count() == 0) return;
    FStagingControl = std::make_shared<TStagingControl>();
    if (FUpdating) FStagingControl->Pause();
    SetTimer(FHandle.get(), kTimerStaging, kFirstRoundDelayMs, nullptr);
}

void TFrmMenu::StagingTimer() {
    KillTimer(FHandle.get(), kTimerStaging);
    if (!FStagingControl || FStagingTasks) return;  // a round still runs: the next comes after it
    // No deadline: a capped round may take hours, and the minimum rate still ends a stalled one.
    TTransferLimits limits = FLimits;
    limits.DeadlineMs = 0;
    const std::shared_ptr<IUpdateSource> source = TFilesUpdater::SourceFor(FRemotePath, FUrl, limits);
    const TStagingSettings settings{FLocalPath, FSettings.Network.MaxBytesPerSecond,
                                    FSettings.Network.CacheBytes};
    FStagingTasks = StartStagingRound(FVerification, source, StoreFolder(), settings, FStagingControl,
                                      [this](const TStagingOutcome& AOutcome) {
                                          if (FrmMenu != this) return;
                                          FStagingTasks.reset();
                                          FinishStagingRound(AOutcome);
                                      });
}

void TFrmMenu::FinishStagingRound(const TStagingOutcome& AOutcome) {
    LogRound(AOutcome, FVerification.Ring);
    const std::optional<TRelease>& staged = AOutcome.Plan.Staged;
    // The fleet reports carry what the store holds complete; a round cut short says nothing of it.
    if (AOutcome.Plan.Accepted && !AOutcome.Cancelled)
        FleetReports().SetStaged(AOutcome.StagedComplete && staged
                                     ? TFleetStaged{staged->Serial, FleetTime(LocalLogTime())}
                                     : TFleetStaged{});
    if (AOutcome.StagedComplete && staged && staged->Serial != FStagedCompleteLogged) {
        FStagedCompleteLogged = staged->Serial;
        uint64_t bytes = 0;
        for (const TReleaseFile& file : staged->Files) bytes += file.Size;
        LogEvent(TLogLine(TLogLevel::Info, "staging-complete")
                     .Add("ring", FVerification.Ring)
                     .Add("staged", staged->Serial)
                     .Add("files", staged->Files.size())
                     .Add("release_bytes", bytes));
    }
    if (AOutcome.Cancelled || !FStagingControl || FStagingControl->Cancelled()) return;
    const auto interval = std::chrono::milliseconds(FSettings.Network.CheckInterval);
    SetTimer(FHandle.get(), kTimerStaging, static_cast<UINT>(std::min<int64_t>(interval.count(), INT32_MAX)),
             nullptr);
}

void TFrmMenu::PauseStaging() {
    if (FStagingControl) FStagingControl->Pause();
}

void TFrmMenu::ResumeStaging() {
    if (FStagingControl && !FUpdating) FStagingControl->Resume();
}

void TFrmMenu::StopStaging() {
    if (!FStagingControl) return;
    KillTimer(FHandle.get(), kTimerStaging);
    FStagingControl->Cancel();
    // Waits for the round's task: it ends at its next piece, its completion finds no window.
    FStagingTasks.reset();
}
