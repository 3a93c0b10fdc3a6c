#include "launcher/self_update/self_update_fleet.h"

#include "base/string_convert.h"

namespace {

// What trust refused, as against what went wrong on the way.
bool IsRefusal(TErrorCategory ACategory) {
    return ACategory == TErrorCategory::Signature || ACategory == TErrorCategory::Altered ||
           ACategory == TErrorCategory::Expired || ACategory == TErrorCategory::Replayed;
}

}  // namespace

TFleetReport SelfUpdateFleetReport(TSelfUpdateOutcome AOutcome, std::string_view AReason,
                                   TErrorCategory ACategory, const std::wstring& ALocalVersion,
                                   const std::wstring& AServerVersion) {
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
            report.Result = IsRefusal(ACategory) ? TFleetResult::Refused : TFleetResult::Failed;
            report.Reason = FleetReasonOf(ACategory);
            report.FilesListed = report.FilesFailed = 1;
            break;
    }
    report.Text = what + ": " + std::string(AReason) + " (local " +
                  (ALocalVersion.empty() ? "-" : WideToUtf8(ALocalVersion)) + ", server " +
                  (AServerVersion.empty() ? "-" : WideToUtf8(AServerVersion)) + ")";
    return report;
}
