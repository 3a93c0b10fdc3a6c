#include "launcher/self_update/self_update_fleet.h"

#include "base/string_convert.h"

namespace {

struct TFailure {
    std::string_view Reason;
    TFleetResult Result;
    TFleetReason FleetReason;
};

// The failed decisions by the reason the self-update logs; the release check's refusals first.
constexpr TFailure kFailures[] = {
    {"manifest refused", TFleetResult::Refused, TFleetReason::Signature},
    {"not in the signed manifest", TFleetResult::Refused, TFleetReason::Signature},
    {"not the signed release", TFleetResult::Refused, TFleetReason::Altered},
    {"copy incomplete", TFleetResult::Failed, TFleetReason::Fetch},
    {"flush failed", TFleetResult::Failed, TFleetReason::Disk},
    {"rename of the running launcher failed", TFleetResult::Failed, TFleetReason::Disk},
    {"rename of the new launcher failed", TFleetResult::Failed, TFleetReason::Disk},
};

}  // namespace

TFleetReport SelfUpdateFleetReport(TSelfUpdateOutcome AOutcome, std::string_view AReason,
                                   const std::wstring& ALocalVersion, const std::wstring& AServerVersion) {
    TFleetReport report;
    report.Event = TFleetEvent::SelfUpdate;
    report.Module = "Aurevia.EXE";
    std::string what;
    switch (AOutcome) {
        case TSelfUpdateOutcome::UpToDate:
            what = "up to date";
            break;
        case TSelfUpdateOutcome::Replaced:
            what = "replaced";
            report.FilesListed = report.FilesFetched = 1;
            break;
        case TSelfUpdateOutcome::CopyFailed:
            what = "not replaced";
            report.Result = TFleetResult::Failed;
            report.Reason = TFleetReason::Other;
            report.FilesListed = report.FilesFailed = 1;
            for (const TFailure& failure : kFailures) {
                if (failure.Reason != AReason) continue;
                report.Result = failure.Result;
                report.Reason = failure.FleetReason;
            }
            break;
    }
    report.Text = what + ": " + std::string(AReason) + " (local " +
                  (ALocalVersion.empty() ? "-" : WideToUtf8(ALocalVersion)) + ", server " +
                  (AServerVersion.empty() ? "-" : WideToUtf8(AServerVersion)) + ")";
    return report;
}
