#include "launcher/fleet/fleet_update_observer.h"

#include <memory>

#include "base/string_convert.h"
#include "launcher/fleet/fleet_reports.h"
#include "update/transport/pumped_wait.h"

namespace {

TFleetResult FleetResultOf(TUpdateResult AResult) {
    switch (AResult) {
        case TUpdateResult::Ok:
            return TFleetResult::Ok;
        case TUpdateResult::Failed:
            return TFleetResult::Failed;
        case TUpdateResult::Refused:
            return TFleetResult::Refused;
    }
    return TFleetResult::Failed;
}

class TFleetUpdateObserver final : public IUpdateOutcomeObserver {
  public:
    void UpdateEnded(const TUpdateOutcome& AOutcome) noexcept override {
        try {
            if (FleetReportsUpdate(AOutcome)) FleetReports().Send(FleetReportOfUpdate(AOutcome));
        } catch (...) {
            // A report never costs the launcher anything: one that cannot be made is lost.
        }
    }
};

}  // namespace

TFleetReport FleetReportOfUpdate(const TUpdateOutcome& AOutcome) {
    TFleetReport report;
    report.Event = AOutcome.Module.empty() ? TFleetEvent::Startup : TFleetEvent::Module;
    report.Module = WideToUtf8(AOutcome.Module);
    report.Result = FleetResultOf(AOutcome.Result);
    if (AOutcome.Result != TUpdateResult::Ok) {
        report.Reason = FleetReasonOf(AOutcome.Failure.Category);
        report.Text = AOutcome.Failure.Text;
    }
    report.FilesListed = AOutcome.FilesListed;
    report.FilesFetched = AOutcome.FilesFetched;
    report.FilesFailed = AOutcome.FilesFailed;
    report.Bytes = AOutcome.Bytes;
    report.DurationMs = AOutcome.DurationMs;
    report.StoreBytes = AOutcome.StoreBytes;
    report.WireBytes = AOutcome.WireBytes;
    report.FilesPatched = AOutcome.FilesPatched;
    const TRolloutState& rollout = AOutcome.Rollout;
    if (!rollout.Ring.empty()) report.Release.Ring = WideToUtf8(rollout.Ring);
    report.Release.RolloutNumber = rollout.Number;
    report.Release.RolloutSerial = rollout.RolloutSerial;
    report.Release.Release = rollout.Release;
    return report;
}

bool FleetReportsUpdate(const TUpdateOutcome& AOutcome) {
    // A fetch that failed before the quit keeps its own failure, which is reported.
    return !(AOutcome.Result == TUpdateResult::Failed && IsQuitRequested(AOutcome.Failure));
}

void ReportUpdatesToFleet() { SetUpdateOutcomeObserver(std::make_shared<TFleetUpdateObserver>()); }
